// The server component's stored properties, as the description reader knows them.
#pragma once

namespace Id {

/// Registers "TIdTCPServer" (properties, the Bindings, CommandHandlers and ReplyTexts
/// collections, and its thread events) with the description reader. Idempotent, thread-safe.
void RegisterServerClasses();

} // namespace Id
