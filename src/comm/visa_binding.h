// The VISA library, bound at run time: visa32.dll on Windows, libvisa32.so
// on Linux (a vendor's, or the engine's own serial component found through
// KEZ_COMPONENT_PATH). Each entry point is resolved on its own: a missing
// one, or a library that did not load, makes its calls return
// VI_ERROR_SYSTEM_ERROR. Every call has a fault point "visa.<name>" whose
// armed error is the status the call returns (default
// VI_ERROR_SYSTEM_ERROR).
#pragma once

#define KEZ_VISA_TYPES_ONLY
#include "kez_visa.h"


namespace kez::comm::visa {

// Loads the library (under the per-process named mutex); true when it is
// loaded. Once loaded, calls are cheap; a failed load is tried again by the
// next call, so a library installed later is found.
bool load();
// Whether load() has succeeded (no load attempted).
bool loaded();
// Engine unload: forgets the entry points and releases the library.
void unload();

ViStatus OpenDefaultRM(ViSession *rm);
ViStatus FindRsrc(ViSession rm, const char *expression, ViFindList *list, ViUInt32 *count, char *description);
ViStatus FindNext(ViFindList list, char *description);
ViStatus Open(ViSession rm, const char *name, ViAccessMode mode, ViUInt32 timeout, ViSession *vi);
ViStatus Close(ViObject vi);
ViStatus SetAttribute(ViObject vi, ViAttr attribute, ViAttrState value);
ViStatus GetAttribute(ViObject vi, ViAttr attribute, void *value);
ViStatus StatusDesc(ViObject vi, ViStatus status, char *description);
ViStatus Terminate(ViObject vi, ViUInt16 degree, ViJobId job);
ViStatus EnableEvent(ViSession vi, ViEventType type, ViUInt16 mechanism, ViEventFilter context);
ViStatus DisableEvent(ViSession vi, ViEventType type, ViUInt16 mechanism);
ViStatus DiscardEvents(ViSession vi, ViEventType type, ViUInt16 mechanism);
ViStatus WaitOnEvent(ViSession vi, ViEventType type, ViUInt32 timeout, ViEventType *out_type, ViEvent *out_event);
ViStatus InstallHandler(ViSession vi, ViEventType type, ViHndlr handler, ViAddr user_handle);
ViStatus UninstallHandler(ViSession vi, ViEventType type, ViHndlr handler, ViAddr user_handle);
ViStatus Read(ViSession vi, ViBuf buffer, ViUInt32 count, ViUInt32 *done);
ViStatus Write(ViSession vi, ViConstBuf buffer, ViUInt32 count, ViUInt32 *done);
ViStatus SetBuf(ViSession vi, ViUInt16 mask, ViUInt32 size);
ViStatus Flush(ViSession vi, ViUInt16 mask);

// The description of a status: VISA's own when the library is loaded and
// knows it, else the built-in table's. `out` holds at least 256 bytes.
void describe(ViStatus status, char *out);

}  // namespace kez::comm::visa
