// The common root of the framework's components.
#pragma once

#include "runtime/Component.h"

namespace Id {

/// Adds nothing to TComponent; lets the framework recognise its own components.
class TIdBaseComponent : public TComponent {
public:
  explicit TIdBaseComponent(TComponent* AOwner) : TComponent(AOwner) {}
};

} // namespace Id
