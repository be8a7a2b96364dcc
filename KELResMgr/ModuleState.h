// Everything one load of the library keeps in memory.
#pragma once

#include <atomic>
#include <memory>

#include "KELResMgr/ResManager.h"
#include "KELResMgr/base/LazyValue.h"
#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/download/StateTable.h"

namespace kel {

// Created when the library is loaded, before any export can run. The load holds one reference;
// every download worker holds another, so that the state outlives the workers when the host
// unloads the library or the process exits while downloads still run.
class ModuleState : public std::enable_shared_from_this<ModuleState> {
  public:
    ModuleState();
    ~ModuleState();

    TraceSink trace;  // first: the members below may trace while they are destroyed

  private:
    // Destroyed right before the trace sink, after every other member: from then on
    // ModuleStateIfAlive() answers null, so no trace can reach the state once it is gone.
    struct Unpublish {
        ~Unpublish();
        const ModuleState* owner;
    } unpublish_{this};

    // The internet client, where it needs a set-up, is set up at the first internet session of
    // this load, and released when the last user of this state (the load, or a worker that
    // outlived it) is gone: after every member below, the download manager's session among them,
    // has been destroyed.
    struct LibraryRelease {
        ~LibraryRelease();
    } library_release_;

  public:
    LazyString config_path;
    LazyString resources_folder;
    CResManager downloads;  // the shared download manager
    ResStateTable states;
    std::atomic<int> running_workers{0};

    // The download limit, read at the first request that needs it: -1 until then, afterwards
    // the first value read, never changed. No lock is held while the settings are read.
    std::atomic<int> task_limit{-1};

    // Set by the first settings read of this load that skipped an over-long line.
    std::atomic<bool> long_settings_line_traced{false};
};

// The current load's state. Valid from load until the last worker of the load has ended.
ModuleState& Module();
// A reference that keeps the state alive, for code that outlives the call (workers).
std::shared_ptr<ModuleState> ModuleRef();
// Null before the state exists, and again from the moment its destruction has come down to its
// trace sink, the last member; used by the trace facility, which may run at any time.
const ModuleState* ModuleStateIfAlive();

// Makes the state of this load and the reference that the load holds; called once, by the
// library's lifetime object, which drops that reference at unload.
std::shared_ptr<ModuleState> CreateModuleState();

}  // namespace kel
