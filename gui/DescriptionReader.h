// SPDX-License-Identifier: MIT
// Stored component descriptions: a plain-text format, a registry of component classes with their
// stored properties, and the reader that builds a root component's children from a description.
//
// The format, one object block per component:
//
//   object Form1: TForm1
//     Left = 231
//     Caption = 'Form1'            strings: '...' with '' for a quote, #13 char codes, + joins
//     Color = clBtnFace            identifiers (also True / False)
//     Font.Style = [fsBold]        sets of identifiers
//     object Server1: TServer      child components, after the owner's properties
//       Greeting.NumericCode = 0   nested property paths
//       Bindings = <               collections: items with their own properties
//         item
//           Port = 100
//         end>
//       OnExecute = Server1Execute event bound to a published method of the root
//     end
//   end
//
// Names of classes, properties, events and methods compare case-insensitively.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "idframework/runtime/Collection.h"
#include "idframework/runtime/Component.h"
#include "idframework/runtime/SysUtils.h"

namespace Id {

/// Malformed description text. The message names the line.
class EParserError : public Exception {
public:
  using Exception::Exception;
};

/// Read failures (EReadError, from runtime/SysUtils.h) name the line too: an unknown class,
/// property, event, method or value, or a value of the wrong kind.

struct TDescItem;

/// One parsed value with the line it stands on.
class TDescValue {
public:
  enum class TKind { vkInteger, vkString, vkIdent, vkSet, vkCollection };

  TDescValue() = default;
  static TDescValue Integer(int64_t AValue, int ALine);
  static TDescValue String(std::string AValue, int ALine);
  static TDescValue Ident(std::string AValue, int ALine);
  static TDescValue Set(std::vector<std::string> AMembers, int ALine);
  static TDescValue Collection(std::vector<TDescItem> AItems, int ALine);

  TKind Kind() const noexcept { return FKind; }
  int Line() const noexcept { return FLine; }

  /// The typed reads below raise EReadError "Invalid property value" when the value is of
  /// another kind or out of range; the reader adds the property and the line to the message.
  int32_t AsInteger() const;
  const std::string& AsString() const;
  /// True or False (any case).
  bool AsBoolean() const;
  const std::string& AsIdent() const;
  const std::vector<std::string>& AsSet() const;
  const std::vector<TDescItem>& AsItems() const;
  /// An identifier looked up in ATable (case-insensitive), or a plain integer when
  /// AAllowInteger; anything else raises EReadError "Invalid property value".
  int32_t AsEnum(const std::vector<std::pair<std::string, int32_t>>& ATable,
                 bool AAllowInteger = false) const;

private:
  TKind FKind = TKind::vkInteger;
  int FLine = 0;
  int64_t FInteger = 0;
  std::string FText;                              // string or identifier
  std::vector<std::string> FMembers;              // set
  std::shared_ptr<std::vector<TDescItem>> FItems; // collection (shared: values are copied freely)
};

/// `Path = Value`, Path possibly dotted (Font.Name).
struct TDescProperty {
  std::string Path;
  TDescValue Value;
  int Line = 0;
};

/// One `item ... end` of a collection value.
struct TDescItem {
  std::vector<TDescProperty> Properties;
  int Line = 0;
};

/// One `object Name: Class ... end` block.
struct TDescObject {
  std::string Name;
  std::string ClassName;
  int Line = 0;
  std::vector<TDescProperty> Properties;
  std::vector<TDescObject> Children;
};

/// Parses a whole description (exactly one root object). Raises EParserError naming ASource and
/// the line on malformed text. Pure: touches no component.
TDescObject ParseDescription(std::string_view AText, const std::string& ASource = "description");

/// The published part of a root component (a form): component fields and methods by name.
/// The reader stores each child it creates in the field of the same name and binds stored event
/// names to the methods. Used on the root's thread only.
class TPublishedTable {
public:
  /// AField receives the child component named AName (it must be a T) and is cleared by
  /// ClearReferences. AField must outlive this table.
  template <class T> void PublishField(const std::string& AName, T*& AField) {
    T** Slot = &AField;
    AddField(
        AName,
        [Slot](TComponent* C) {
          T* Typed = dynamic_cast<T*>(C);
          if (Typed) *Slot = Typed;
          return Typed != nullptr;
        },
        [Slot](TComponent* C) {
          if (*Slot && static_cast<TComponent*>(*Slot) == C) *Slot = nullptr;
        });
  }
  /// Publishes a method under AName as a value of the event type TEvent (a std::function);
  /// only events of exactly that type can be bound to it.
  template <class TEvent> void PublishMethod(const std::string& AName, TEvent AMethod) {
    AddMethod(AName, std::any(std::move(AMethod)));
  }

  /// The method published as AName, or nullptr.
  const std::any* FindMethod(const std::string& AName) const;
  enum class TFieldResult { frNoField, frAssigned, frWrongClass };
  /// Stores AComponent in the field AName when there is one and the class fits.
  TFieldResult AssignField(const std::string& AName, TComponent* AComponent);
  /// Clears every field that refers to AComponent; call it from the root's removal notice.
  void ClearReferences(TComponent* AComponent);

private:
  struct TField {
    std::string Name;
    std::function<bool(TComponent*)> Assign;
    std::function<void(TComponent*)> Clear;
  };
  struct TMethod {
    std::string Name;
    std::any Method;
  };
  void AddField(const std::string& AName, std::function<bool(TComponent*)> AAssign,
                std::function<void(TComponent*)> AClear);
  void AddMethod(const std::string& AName, std::any AMethod);
  std::vector<TField> FFields;
  std::vector<TMethod> FMethods;
};

/// C as a T, or nullptr when it is not one.
template <class T> T* DescriptionCast(TComponent& C) {
  if constexpr (std::is_base_of_v<T, TComponent>)
    return &C;
  else
    return dynamic_cast<T*>(&C);
}

/// Sets one stored property of a component of the registered class.
using TDescSetter = std::function<void(TComponent& AComponent, const TDescValue& AValue)>;
/// Sets one stored property of a collection item.
using TDescItemSetter = std::function<void(TCollectionItem& AItem, const TDescValue& AValue)>;
/// Binds a published method (a std::any holding the event type) to an event; false when the
/// method's type does not fit the event.
using TDescEventBinder = std::function<bool(TComponent& AComponent, const std::any& AMethod)>;

/// What the reader knows of one collection property: where the collection is and how its items'
/// properties are set. Reading the property clears the collection and adds one item per `item`.
class TDescCollectionInfo {
public:
  using TGetter = std::function<TCollection&(TComponent&)>;
  explicit TDescCollectionInfo(TGetter AGetter) : FGetter(std::move(AGetter)) {}
  TCollection& Get(TComponent& AComponent) const { return FGetter(AComponent); }
  void AddItemProperty(const std::string& APath, TDescItemSetter ASetter);
  /// nullptr when the item has no such stored property.
  const TDescItemSetter* FindItemProperty(const std::string& APath) const;

private:
  TGetter FGetter;
  std::vector<std::pair<std::string, TDescItemSetter>> FItemProperties;
};

/// A registered component class: its name, its registered parent (whose stored properties it
/// inherits), a factory taking the owner, and its stored properties, collections and events.
class TComponentClassInfo {
public:
  using TFactory = std::function<TComponent*(TComponent* AOwner)>;
  using TInstanceTest = std::function<bool(const TComponent&)>;
  TComponentClassInfo(std::string AClassName, std::string AParentName, TFactory AFactory,
                      TInstanceTest AIsInstance);
  virtual ~TComponentClassInfo() = default;

  const std::string& ClassName() const noexcept { return FClassName; }
  const std::string& ParentName() const noexcept { return FParentName; }
  bool CanCreate() const noexcept { return static_cast<bool>(FFactory); }
  /// A new instance owned by AOwner (which frees it). Raises EReadError without a factory.
  TComponent* Create(TComponent* AOwner) const;
  bool IsInstance(const TComponent& AComponent) const { return FIsInstance(AComponent); }

  void AddProperty(const std::string& APath, TDescSetter ASetter);
  TDescCollectionInfo& AddCollection(const std::string& APath, TDescCollectionInfo::TGetter AGet);
  void AddEvent(const std::string& APath, TDescEventBinder ABinder);
  /// Look-ups of this class only (the reader walks the parents); nullptr when absent.
  const TDescSetter* FindProperty(const std::string& APath) const;
  const TDescCollectionInfo* FindCollection(const std::string& APath) const;
  const TDescEventBinder* FindEvent(const std::string& APath) const;

private:
  std::string FClassName;
  std::string FParentName;
  TFactory FFactory;
  TInstanceTest FIsInstance;
  std::vector<std::pair<std::string, TDescSetter>> FProperties;
  std::vector<std::pair<std::string, std::unique_ptr<TDescCollectionInfo>>> FCollections;
  std::vector<std::pair<std::string, TDescEventBinder>> FEvents;
};

/// Typed registration of the items of one collection property.
template <class TItem> class TDescCollectionOf {
public:
  explicit TDescCollectionOf(TDescCollectionInfo& AInfo) : FInfo(AInfo) {}
  /// ASetter(item, value) sets the item property APath. Items not of class TItem raise EReadError.
  template <class F> TDescCollectionOf& Property(const std::string& APath, F ASetter) {
    FInfo.AddItemProperty(APath, [ASetter](TCollectionItem& AItem, const TDescValue& AValue) {
      ASetter(CastItem(AItem), AValue);
    });
    return *this;
  }

private:
  static TItem& CastItem(TCollectionItem& AItem) {
    auto* Typed = dynamic_cast<TItem*>(&AItem);
    if (!Typed) throw EReadError("Collection item of an unexpected class");
    return *Typed;
  }
  TDescCollectionInfo& FInfo;
};

/// Typed registration of class T; returned by RegisterComponentClass<T>.
template <class T> class TDescriptionClass {
public:
  explicit TDescriptionClass(TComponentClassInfo& AInfo) : FInfo(AInfo) {}
  TComponentClassInfo& Info() const noexcept { return FInfo; }

  /// ASetter(T&, const TDescValue&) sets the stored property APath (dotted for nested ones).
  template <class F> TDescriptionClass& Property(const std::string& APath, F ASetter) {
    FInfo.AddProperty(APath,
                      [ASetter](TComponent& C, const TDescValue& V) { ASetter(Cast(C), V); });
    return *this;
  }
  /// A collection property; AGetter(T&) returns the collection. Returns the item registration.
  template <class TItem, class G>
  TDescCollectionOf<TItem> Collection(const std::string& APath, G AGetter) {
    return TDescCollectionOf<TItem>(FInfo.AddCollection(
        APath, [AGetter](TComponent& C) -> TCollection& { return AGetter(Cast(C)); }));
  }
  /// An event of type TEvent; ABinder(T&, TEvent) assigns it. Only a method published with the
  /// same TEvent type can be bound.
  template <class TEvent, class B> TDescriptionClass& Event(const std::string& APath, B ABinder) {
    FInfo.AddEvent(APath, [ABinder](TComponent& C, const std::any& AMethod) {
      const TEvent* Method = std::any_cast<TEvent>(&AMethod);
      if (!Method) return false;
      ABinder(Cast(C), *Method);
      return true;
    });
    return *this;
  }

private:
  static T& Cast(TComponent& C) {
    T* Typed = DescriptionCast<T>(C);
    if (!Typed) throw EReadError("Component does not derive from its registered class");
    return *Typed;
  }
  TComponentClassInfo& FInfo;
};

/// Adds (or replaces: the last registration of a name wins) the class info; returns it. Entries
/// are never freed, so references stay valid. Thread-safe; register before reading.
TComponentClassInfo& RegisterComponentClassInfo(std::unique_ptr<TComponentClassInfo> AInfo);
/// The registered class named AClassName (case-insensitive), or nullptr.
const TComponentClassInfo* FindComponentClass(const std::string& AClassName);

/// Registers class T under AClassName with AParentName's properties inherited (empty: none).
/// T gets a factory `new T(AOwner)` when it is constructible from an owner; otherwise the class
/// can only be a description's root. Use the result to add properties, collections and events.
template <class T>
TDescriptionClass<T> RegisterComponentClass(const std::string& AClassName,
                                            const std::string& AParentName = std::string()) {
  TComponentClassInfo::TFactory Factory;
  if constexpr (std::is_constructible_v<T, TComponent*> && !std::is_abstract_v<T>)
    Factory = [](TComponent* AOwner) -> TComponent* { return new T(AOwner); };
  auto IsInstance = [](const TComponent& C) {
    return DescriptionCast<T>(const_cast<TComponent&>(C)) != nullptr;
  };
  return TDescriptionClass<T>(RegisterComponentClassInfo(std::make_unique<TComponentClassInfo>(
      AClassName, AParentName, std::move(Factory), IsInstance)));
}

/// Reads a description into ARoot, on the root's thread:
/// - the root object's class must be registered and ARoot an instance of it; ARoot takes the
///   root object's name and its properties;
/// - each child object is created through its registered class with ARoot as owner, marked
///   csLoading, named, stored in APublished's field of that name (if any), and given its
///   properties in order; events are bound to APublished's methods;
/// - when everything is read, Loaded() runs on the root and then on each child, in order.
/// Raises EParserError or EReadError naming ASource and the line; the children created by this
/// read are then freed again and ARoot's loading state cleared. Exceptions from Loaded() (for
/// example a component activating itself) pass through unchanged, and the children stay.
void ReadDescription(TComponent& ARoot, TPublishedTable& APublished, std::string_view AText,
                     const std::string& ASource = "description");

} // namespace Id
