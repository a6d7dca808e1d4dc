// SPDX-License-Identifier: MIT
// The common root of the framework's components.
#pragma once

#include "idframework/runtime/Component.h"
#include "idframework/runtime/Export.h"

namespace Id {

/// Adds nothing to TComponent; lets the framework recognise its own components.
class ID_API TIdBaseComponent : public TComponent {
public:
  /// AOwner (may be nullptr) frees the component, as for TComponent.
  explicit TIdBaseComponent(TComponent* AOwner) : TComponent(AOwner) {}
};

} // namespace Id
