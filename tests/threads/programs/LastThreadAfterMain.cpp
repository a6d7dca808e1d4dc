// SPDX-License-Identifier: MIT
// A process whose last thread object ends shortly after main has returned: the program-end wait
// for live thread objects must let it exit as soon as that thread is gone.
#include "idframework/core/IdGlobal.h"
#include "idframework/threads/IdThread.h"

namespace {

class TFinishingThread : public Id::TIdThread {
protected:
  void RunStep() override {
    Id::SleepMs(50);
    StopRunning();
  }
};

} // namespace

int main() {
  auto* Thread = new TFinishingThread; // frees itself when its body returns
  Thread->SetFreeOnTerminate(true);
  Thread->StartRunning();
  return 0;
}
