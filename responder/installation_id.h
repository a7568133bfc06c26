// The installation identifier: how a candidate is formed, how an answer to the uniqueness
// question is judged, and where the question is sent.
#pragma once

#include <cstddef>
#include <cstdint>

// What goes into a candidate. Values the machine cannot give stay 0.
struct CandidateSources {
    uint32_t tickCount;     // milliseconds since the system started
    uint32_t unixNow;       // seconds since 1970
    uint32_t randomValue;   // 0..32767 from a generator seeded with the tick count
    uint32_t volumeSerial;  // of the volume holding kernel32.dll
    uint32_t fileSizeLow;   // of kernel32.dll
    uint32_t fileIndexHigh; // of kernel32.dll
};
// The low 32 bits of: (tickCount + unixNow) << 32 | tickCount, plus the random value and the
// three file facts. May be 0, which is never taken.
uint32_t FormCandidate(const CandidateSources& sources);

// The pseudo-random generator of the candidate: values 0..32767, seeded once per round.
class CandidateRandom {
public:
    explicit CandidateRandom(uint32_t seed) : state_(seed) {}
    uint32_t Next();

private:
    uint32_t state_;
};

// Whether an answer to the question "who has this identifier" (request 201 with the candidate)
// says another installation already uses it: exactly a status record whose first word is the
// candidate.
bool AnswerClaimsCandidate(const uint8_t* answer, size_t length, uint32_t candidate);

// Where the question goes: each dotted IPv4 address of the "Broadcast Addresses" list (NUL
// separated texts ending with an empty one; size bytes at most), in order; texts that are not
// addresses are skipped, never turned into a broadcast. Only when the list is missing (null) or
// holds no text at all does the question go to 255.255.255.255, once. Addresses are in network
// byte order. Returns how many were written (at most capacity).
constexpr uint32_t kLimitedBroadcast = 0xFFFFFFFFu;
size_t PlanBroadcastDestinations(const char* list, size_t size, uint32_t* out, size_t capacity);
