// stream.dll's entry point. OpenSSL is linked into the DLL statically, and nothing else frees
// what it keeps for each thread that used it (the error queue, the random generators' state and
// the like): each thread's share is freed as the thread ends, as OpenSSL's own DLL does. Every
// connection's threads would leave about a kilobyte behind otherwise.
#include <windows.h>

#include <openssl/crypto.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_THREAD_DETACH)
        OPENSSL_thread_stop();
    return TRUE;
}
