#include "common/error_text_win.h"

#include "common/unique_handle_win.h"

#include <winsock2.h>
#include <windows.h>

#include <cstring>

const char* SystemErrorText(uint32_t code) {
    static char text[kSystemErrorTextSize];
    if (code == 0) {
        code = GetLastError();
    }

    // The system allocates, so a message longer than our area is cut rather than lost.
    UniqueLocal message;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(message.put()), 0, nullptr);
    if (length > 0 && message) {
        const size_t kept = length < sizeof(text) - 1 ? length : sizeof(text) - 1;
        std::memcpy(text, message.get(), kept);
        text[kept] = '\0';
        CleanSystemMessage(text);
    } else {
        FormatUndescribedError(code, text, sizeof(text));
    }
    SetLastError(code);
    return text;
}

const char* LastSocketErrorText() {
    return SocketErrorText(WSAGetLastError());
}
