// The load and unload of the library's own module.
//
// The platform calls these two, once each: OnModuleLoad when the module has been loaded, before
// any export can run, and OnModuleUnload when it is being unloaded, after the last export call
// has returned. The core defines them. On Windows both run under the loader lock: they must not
// wait for threads or load libraries; what cannot run there waits for its first use.
#pragma once

namespace kel {

void OnModuleLoad();
void OnModuleUnload();

}  // namespace kel
