// Process attach and detach of the engine's shared object. The loader cannot
// be told that initialisation failed; the core records the failure and the
// engine's entry points refuse work instead.
#include "os/os.h"

namespace {

__attribute__((constructor)) void kez_process_attach() { kez::core::on_process_attach(kez::os::module_self()); }

__attribute__((destructor)) void kez_process_detach() { kez::core::on_process_detach(); }

}  // namespace
