// A file of the responder's floor for the floors test: it includes the header
// FLOOR_PROBE_HEADER names.
#include FLOOR_PROBE_HEADER

int FloorProbe() {
    return 0;
}
