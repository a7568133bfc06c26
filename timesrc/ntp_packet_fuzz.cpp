// Fuzz target: any datagram as the reply to a request, the measurement of an accepted reply,
// the timestamp conversions, and source texts.
//
// Input: u8 options (bit 0: the datagram carries our request's time as its originate field,
// bit 1: the reply arrives at most 4.3 s after the request), u64 t1 (the request's send time),
// u64 t4 (the reply's arrival, or with bit 1 its delay in 2^-32 s units in the low 32 bits),
// u64 a file time and i32 seconds between it and the moment it is read near, then the datagram,
// which is also read as a source text.
#include <cstring>

#include "common/fuzz_support.h"
#include "timesrc/clock_math.h"
#include "timesrc/ntp_packet.h"
#include "timesrc/ntp_source.h"
#include "timesrc/time_format.h"

namespace {

using Wide = __int128;

// An interval in 2^-32 s units as whole units of perSecond, truncated toward zero.
Wide Scaled(Wide interval, Wide perSecond) {
    return interval >= 0 ? (interval * perSecond) >> 32 : -((-interval * perSecond) >> 32);
}

int64_t Modular(uint64_t later, uint64_t earlier) {
    return static_cast<int64_t>(later - earlier);
}

void CheckMeasurement(NtpTimestamp t1, NtpTimestamp t2, NtpTimestamp t3, NtpTimestamp t4) {
    const NtpMeasurement m = MeasureNtpExchange(t1, t2, t3, t4);
    FUZZ_CHECK(m.delay >= 0 && m.delayMs >= 0 && m.delayMs != 1);

    // The offset is half the two legs' sum, rounded down in 2^-32 s, then truncated to 100 ns.
    const Wide legs = Wide{Modular(t2, t1)} + Wide{Modular(t3, t4)};
    const Wide half = legs >= 0 ? legs / 2 : -((-legs + 1) / 2);
    FUZZ_CHECK(Wide{m.offset} == Scaled(half, 10000000));

    // The delay is exact whenever the true round trip less the processing fits 64 bits.
    const Wide delay = Wide{Modular(t4, t1)} - Wide{Modular(t3, t2)};
    if (delay >= INT64_MIN && delay <= INT64_MAX) {
        if (delay <= 0) {
            FUZZ_CHECK(m.delay == 0 && m.delayMs == 0);
        } else {
            FUZZ_CHECK(Wide{m.delay} == Scaled(delay, 10000000));
            const Wide ms = Scaled(delay, 1000);
            const Wide expected = ms > INT32_MAX ? INT32_MAX : ms == 1 ? 0 : ms;
            FUZZ_CHECK(Wide{m.delayMs} == expected);
        }
    }
}

void CheckReply(uint8_t options, NtpTimestamp t1, NtpTimestamp t4, const uint8_t* datagram,
                size_t size) {
    static uint8_t reply[2048];
    const size_t length = size < sizeof(reply) ? size : sizeof(reply);
    if (length != 0) {
        std::memcpy(reply, datagram, length);
    }
    if ((options & 1) != 0 && length >= kNtpPacketSize) {
        StoreBe64(reply + kNtpOriginateOffset, t1);
    }
    const NtpReplyVerdict verdict = JudgeNtpReply(reply, length, t1);
    NtpHeader header;
    const bool parsed = ParseNtpHeader(reply, length, &header);
    FUZZ_CHECK(parsed == (length >= kNtpPacketSize));
    if (!parsed || LoadBe64(reply + kNtpOriginateOffset) != t1) {
        FUZZ_CHECK(verdict == NtpReplyVerdict::kNotOurs);
        return;
    }
    FUZZ_CHECK(header.leap == reply[0] >> 6 && header.mode == (reply[0] & 7) &&
               header.version == ((reply[0] >> 3) & 7) && header.stratum == reply[1]);
    FUZZ_CHECK(header.receive == LoadBe64(reply + kNtpReceiveOffset) &&
               header.transmit == LoadBe64(reply + kNtpTransmitOffset));
    const bool usable = header.leap != 3 && header.mode == 4 && header.stratum >= 1 &&
                        header.stratum <= 15 && header.receive != 0 && header.transmit != 0;
    FUZZ_CHECK(verdict == (usable ? NtpReplyVerdict::kAccepted : NtpReplyVerdict::kRefused));
    if (usable) {
        CheckMeasurement(t1, header.receive, header.transmit, t4);
    }
}

void CheckConversions(uint64_t fileTime, int32_t apartSeconds, NtpTimestamp timestamp) {
    const Wide nearWide = Wide{fileTime} + Wide{apartSeconds} * 10000000;
    if (nearWide < 0 || nearWide > Wide{UINT64_MAX}) {
        return;
    }
    const uint64_t near = static_cast<uint64_t>(nearWide);
    const NtpTimestamp ntp = NtpFromFileTime(fileTime);
    const uint64_t back = FileTimeFromNtp(ntp, near);
    // Within 68 years of the moment it is read near, a file time survives exactly; the margin
    // covers the whole seconds lost on either side.
    if (apartSeconds > INT32_MIN + 1 && apartSeconds < INT32_MAX - 1) {
        FUZZ_CHECK(back == fileTime);
    }
    // Any timestamp lands within the era's reach of a moment it is read near, or at 0; file
    // times of the system span up to 2^63 - 1 (30828).
    const uint64_t any = FileTimeFromNtp(timestamp, near);
    const Wide apart = Wide{any / 10000000} - Wide{near / 10000000};
    if (near <= static_cast<uint64_t>(INT64_MAX)) {
        FUZZ_CHECK(any == 0 || (apart >= -(Wide{1} << 31) - 1 && apart <= (Wide{1} << 31)));
    }

    const int64_t interval = static_cast<int64_t>(fileTime);
    FUZZ_CHECK(Wide{NtpIntervalToFileTimeUnits(interval)} == Scaled(interval, 10000000));
    FUZZ_CHECK(Wide{NtpDifference(fileTime, near)} == Wide{Modular(fileTime, near)});
}

void CheckSourceText(const uint8_t* datagram, size_t size) {
    static char text[1024];
    const size_t length = size < sizeof(text) - 1 ? size : sizeof(text) - 1;
    std::memcpy(text, datagram, length);
    text[length] = '\0';

    char host[kSourceHostSize + 8];
    std::memset(host, 0xCC, sizeof(host));
    uint16_t port = 7;
    const SourceTextStatus status = ParseSourceText(text, host, &port);
    FUZZ_CHECK(std::memchr(host, '\0', kSourceHostSize) != nullptr);
    if (status == SourceTextStatus::kOk) {
        const size_t hostLength = std::strlen(host);
        FUZZ_CHECK(hostLength > 0 && hostLength < kSourceHostSize);
        FUZZ_CHECK(std::strncmp(host, text, hostLength) == 0);
        FUZZ_CHECK(text[hostLength] == '\0' || text[hostLength] == ':');
        FUZZ_CHECK((port == 0) == (text[hostLength] == '\0'));
    } else {
        FUZZ_CHECK(host[0] == '\0' && port == 0);
    }

    uint32_t address = 0x12345678;
    if (ParseDottedAddress(text, &address)) {
        // The strict form is exactly what the address text gives back.
        char again[kAddressTextSize];
        if (address != 0 && address != 0xFFFFFFFF) {
            FUZZ_CHECK(std::strcmp(FormatAddress(address, again), text) == 0);
        }
    } else {
        FUZZ_CHECK(address == 0x12345678);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t options = input.U8();
    const NtpTimestamp t1 = input.U64();
    const uint64_t t4Field = input.U64();
    const NtpTimestamp t4 = (options & 2) != 0 ? t1 + (t4Field & 0xFFFFFFFFu) : t4Field;
    const uint64_t fileTime = input.U64();
    const int32_t apart = static_cast<int32_t>(input.U32());

    CheckReply(options, t1, t4, input.rest(), input.remaining());
    CheckConversions(fileTime, apart, t1);
    CheckSourceText(input.rest(), input.remaining());

    uint8_t request[kNtpPacketSize];
    BuildNtpRequest(t1, request);
    FUZZ_CHECK(request[0] == kNtpRequestFlags);
    FUZZ_CHECK(JudgeNtpReply(request, sizeof(request), t1) == NtpReplyVerdict::kRefused);
    return 0;
}
