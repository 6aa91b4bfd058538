// A stand-in plug-in whose factories misbehave, for the host's load-failure paths: one factory
// refuses the plug-in type, the other returns an object that serves no interface.
#include <atomic>

#include "platform/AudioServerPlugIn.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<ULONG> gReferences{1};

HRESULT refuseEveryInterface(void*, REFIID, LPVOID* out) {
    if (out != nullptr) {
        *out = nullptr;
    }
    return E_NOINTERFACE;
}

ULONG addReference(void*) {
    return ++gReferences;
}

ULONG releaseReference(void*) {
    return --gReferences;
}

AudioServerPlugInDriverInterface makeTable() {
    AudioServerPlugInDriverInterface table{};
    table.QueryInterface = refuseEveryInterface;
    table.AddRef = addReference;
    table.Release = releaseReference;
    return table;
}

AudioServerPlugInDriverInterface gTable = makeTable();
AudioServerPlugInDriverInterface* gTablePointer = &gTable;

}  // namespace

FAKE_EXPORT void* Fake_CreateRefusing(CFAllocatorRef, CFUUIDRef) {
    return nullptr;
}

FAKE_EXPORT void* Fake_CreateWithoutInterfaces(CFAllocatorRef, CFUUIDRef) {
    return &gTablePointer;
}

/// References held on the interface-less object (1 after its factory ran, before any release).
FAKE_EXPORT ULONG Fake_References() {
    return gReferences.load();
}
