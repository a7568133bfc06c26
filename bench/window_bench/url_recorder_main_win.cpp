// url-recorder.exe: stands in for the web browser. Started with a web address (as ShellExecute
// "open" starts the http and https handler), it appends the address as one line to the log that
// RecordedUrls reads and exits; nothing is fetched. "--install" makes this program the handler
// of both protocols, "--remove" puts the previous handlers back.
#include "bench/window_bench/window_bench_win.h"

#include "common/unique_handle_win.h"

#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::string Narrow(const wchar_t* wide) {
    char text[4096];
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof(text), nullptr, nullptr);
    return bytes > 0 ? std::string(text, bytes - 1) : std::string();
}

int Record(const std::string& line) {
    UniqueFile log(CreateFileA(winbench::UrlRecorderLog().c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log) {
        return 3;
    }
    // One write per line: recorders started at the same time do not interleave their lines.
    const std::string record = line + "\r\n";
    DWORD written = 0;
    return WriteFile(log.get(), record.data(), static_cast<DWORD>(record.size()), &written,
                     nullptr) &&
                   written == record.size()
               ? 0
               : 4;
}

} // namespace

int main() {
    int count = 0;
    UniqueLocal arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    wchar_t** argv = static_cast<wchar_t**>(arguments.get());
    if (argv == nullptr || count < 2) {
        std::fprintf(stderr, "usage: url-recorder ADDRESS | --install | --remove\n");
        return 2;
    }
    const std::string first = Narrow(argv[1]);
    if (first == "--install" || first == "--remove") {
        char self[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, self, sizeof(self));
        const bool ok = first == "--install" ? length > 0 && length < sizeof(self) &&
                                                   winbench::InstallUrlRecorder(self)
                                             : winbench::RemoveUrlRecorder();
        if (!ok) {
            std::fprintf(stderr, "url-recorder: %s failed with %lu\n", first.c_str(),
                         GetLastError());
            return 1;
        }
        return 0;
    }
    // An address with blanks that reached us unquoted arrives in pieces: join them again.
    std::string address = first;
    for (int i = 2; i < count; ++i) {
        address += " " + Narrow(argv[i]);
    }
    return Record(address);
}
