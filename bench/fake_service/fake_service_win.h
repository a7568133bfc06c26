// The Windows Time service played in this process: what it answers an agent opened here through
// TimeProvOpen, and what the agent told it. One service per process (the callbacks carry no
// context); a test resets it in its set-up.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <timeprov.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
HRESULT WINAPI TimeProvOpen(WCHAR*, TimeProvSysCallbacks*, TimeProvHandle*);
HRESULT WINAPI TimeProvCommand(TimeProvHandle, TimeProvCmd, TimeProvArgs);
HRESULT WINAPI TimeProvClose(TimeProvHandle);
}

namespace fake_service {

struct Event {
    WORD type;
    std::wstring message;
};

// What the service answers. Out of the box: never synchronized, the clock is the system's.
struct Answers {
    uint64_t lastSyncTime = 0;
    uint8_t stratum = 0;
    uint32_t refId = 0;
    uint32_t tsFlags = 0;
    uint64_t tickCount = 4242;
};

// Forgets what was told and answers the defaults again.
void Reset();
void SetAnswers(const Answers& answers);
Answers CurrentAnswers();
// The next GetTimeSysInfo call takes this long (once): a service busy when the agent asks.
void DelayNextQuery(DWORD ms);

// The callbacks of this service, the size filled in.
TimeProvSysCallbacks Callbacks();

std::vector<Event> Events();
void ClearEvents();
// How many logged messages begin with the text, of the type given or of any (type 0).
int EventsStartingWith(const std::wstring& prefix, WORD type = 0);
int SampleAlerts();
int StatusCalls();
DWORD LastStatusStratum();

// Opens the agent as the service does ("Horologix"); null when it refused.
TimeProvHandle OpenAgent(HRESULT* result = nullptr);

} // namespace fake_service
