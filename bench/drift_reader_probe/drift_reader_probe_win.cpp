// A reader of a history file in a process of its own, for the test that appends to the file
// meanwhile: loads it again and again as the drift graph's timer does, until told to stop.
//
//   drift_reader_probe PATH READY-EVENT STOP-EVENT
//
// Sets READY-EVENT after its first good load, stops once STOP-EVENT is set (after one more load)
// or after a minute. Exit code: 0 every load succeeded and new records were seen; 1 a load
// failed; 2 the newest record seen went back in time, or the window left the newest records;
// 3 no new records were seen; 4 bad arguments or events, or no first load.
#include "history/drift_view_win.h"

#include <windows.h>

#include <cstdio>

namespace {

constexpr DWORD kLongestRunMs = 60000;

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: drift_reader_probe PATH READY-EVENT STOP-EVENT\n");
        return 4;
    }
    UniqueKernelHandle ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]));
    UniqueKernelHandle stop(OpenEventA(SYNCHRONIZE, FALSE, argv[3]));
    if (!ready || !stop) {
        std::fprintf(stderr, "probe: events not found (%lu)\n", GetLastError());
        return 4;
    }
    DriftView view;
    std::snprintf(view.path, sizeof(view.path), "%s", argv[1]);

    unsigned loads = 0, changes = 0, failures = 0;
    uint32_t newest = 0, minCount = 0xFFFFFFFF, maxCount = 0, firstError = 0;
    int result = 0;
    const DWORD start = GetTickCount();
    bool stopping = false;
    for (;;) {
        stopping = WaitForSingleObject(stop.get(), 0) == WAIT_OBJECT_0;
        ++loads;
        if (!LoadDriftFile(view, nullptr)) {
            ++failures;
            if (firstError == 0) {
                firstError = view.lastError;
            }
            result = 1;
        } else if (view.changed) {
            if (loads > 1) {
                ++changes;
            }
            minCount = view.count < minCount ? view.count : minCount;
            maxCount = view.count > maxCount ? view.count : maxCount;
            const uint32_t last = view.count > 0 ? view.records[view.count - 1].checkTime : 0;
            if (last < newest || view.end != view.count) {
                std::fprintf(stderr, "probe: newest %u after %u, window ends at %u of %u\n", last,
                             newest, view.end, view.count);
                result = result == 0 ? 2 : result;
            }
            newest = last > newest ? last : newest;
        }
        if (loads == 1) {
            if (failures > 0) {
                std::fprintf(stderr, "probe: first load failed with %u\n", firstError);
                return 4;
            }
            SetEvent(ready.get());
        }
        if (stopping || GetTickCount() - start > kLongestRunMs) {
            break;
        }
    }
    if (result == 0 && changes == 0) {
        result = 3;
    }
    std::printf("probe: %u loads, %u with new records, %u failed (first error %u), %u to %u "
                "records\n",
                loads, changes, failures, firstError, minCount, maxCount);
    return result;
}
