#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

namespace plat {

namespace {

// The entry points are looked up at run time so the program starts on
// systems where ICMP.DLL is missing and can say so itself.
using CreateFileFn = HANDLE(WINAPI*)();
using CloseHandleFn = BOOL(WINAPI*)(HANDLE);
using SendEchoFn = DWORD(WINAPI*)(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD);

HANDLE echo_handle = INVALID_HANDLE_VALUE;
SendEchoFn send_echo = nullptr;

template <typename Fn>
Fn entry(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

int echo_open() {
    HMODULE module = LoadLibraryA("ICMP.DLL");
    if (module == nullptr) return 1;
    auto create = entry<CreateFileFn>(module, "IcmpCreateFile");
    auto close = entry<CloseHandleFn>(module, "IcmpCloseHandle");
    send_echo = entry<SendEchoFn>(module, "IcmpSendEcho");
    if (create == nullptr || close == nullptr || send_echo == nullptr) return 2;
    echo_handle = create();
    if (echo_handle == INVALID_HANDLE_VALUE) return 3;
    return 0;
}

int echo_send(std::uint32_t address, std::uint32_t timeout_ms) {
    if (send_echo == nullptr || echo_handle == INVALID_HANDLE_VALUE) return 1;
    char data[] = "x";
    IP_OPTION_INFORMATION options{};
    options.Ttl = 64;
    options.Tos = 0;
    options.Flags = 0;
    options.OptionsSize = 0;
    options.OptionsData = nullptr;
    // 29 bytes hold a reply with its one data byte only in the 32-bit layout;
    // the 64-bit ICMP_ECHO_REPLY is larger, and room for an ICMP error
    // header is needed besides.
    alignas(ICMP_ECHO_REPLY) unsigned char reply[sizeof(ICMP_ECHO_REPLY) + 1 + 8];
    DWORD count = send_echo(echo_handle, address, data, 1, &options, reply, sizeof reply, timeout_ms);
    const ICMP_ECHO_REPLY* answer = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply);
    return count >= 1 && answer->Status == 0 ? 0 : 1;
}

}  // namespace plat
