// A small library for the dynamic-library tests: two exports and a lifecycle record.
#include "tests/upload/lifecycle_marker.h"

namespace {
LifecycleMarker g_marker("sample-module.log");
int g_calls = 0;  // calls of SampleAdd since the library was mapped
}  // namespace

extern "C" __attribute__((visibility("default"))) int SampleAdd(int a, int b) {
    ++g_calls;
    return a + b;
}

extern "C" __attribute__((visibility("default"))) int SampleCalls() {
    return g_calls;
}
