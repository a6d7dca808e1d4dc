// SPDX-License-Identifier: MIT
// The main form: it owns the TCP server and serves every connection with its handler.
#pragma once

#include <string_view>

#include "gui/Form.h"

namespace Id {

class TIdPeerThread;
class TIdTCPServer;

/// The program's main window. Its description (compiled in) creates and configures IdTCPServer1,
/// which activates at the end of loading, and binds the server's OnExecute to
/// IdTCPServer1Execute. Constructed and destroyed on the main thread.
class TForm1 : public TForm {
public:
  /// Reads the description; raises its read errors and the server's activation failure (the form
  /// and its server are then already freed).
  explicit TForm1(TComponent* AOwner);
  /// Frees the server (deactivating it) while the handler's form still exists.
  ~TForm1() override;

  /// The server the description creates; the form owns and frees it. Cleared on removal notice.
  TIdTCPServer* IdTCPServer1 = nullptr;

  /// OnExecute of IdTCPServer1: sends "test" and closes the connection. Runs on the
  /// connection's peer thread, on several at once; touches nothing but that connection.
  void IdTCPServer1Execute(TIdPeerThread& AThread);
};

/// The one main form, set by Application->CreateForm and cleared when the form is freed.
extern TForm1* Form1;

/// TForm1's stored description, as compiled into the program.
std::string_view TForm1Description();

} // namespace Id
