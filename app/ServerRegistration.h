// SPDX-License-Identifier: MIT
// The server component's stored properties, as the description reader knows them.
#pragma once

namespace Id {

/// Registers "TIdTCPServer" (properties, the Bindings, CommandHandlers and ReplyTexts
/// collections, and its thread events) with the description reader. Idempotent, thread-safe.
void RegisterServerClasses();

/// The port a stored binding listens on: the stored port itself (app/StoredPort.cpp). A test
/// build of the program links its own definition ahead of the library's to serve elsewhere.
int ConfiguredPort(int AStoredPort);

} // namespace Id
