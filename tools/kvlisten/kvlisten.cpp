// kvlisten.cpp -- the host program: creates "KVLUMEN.Listener", starts it and runs until Ctrl+C.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <stdio.h>
#include <string.h>

#ifndef _WIN32
#include <signal.h>
#endif

#include "IEventListener.h"

namespace {

const wchar_t kProgId[] = L"KVLUMEN.Listener";

#ifdef _WIN32
HANDLE gStopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        SetEvent(gStopEvent);
        return TRUE;
    }
    return FALSE;
}
#endif

void PrintText(const char* prefix, BSTR text) {
    printf("%s", prefix);
    if (text)
        for (const OLECHAR* p = text; *p; ++p) putchar(static_cast<char>(*p));
    printf("\n");
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (strcmp(argv[1], "/?") == 0 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        printf("usage: kvlisten\n"
               "Starts the printer event listener (COM class \"KVLUMEN.Listener\") on the first usable port of\n"
               "HKLM\\SOFTWARE\\Korvane\\KVLumen\\Listener \"ports\", prints \"listening on port <port>\" and runs\n"
               "until Ctrl+C (SIGINT/SIGTERM), then stops the listener and exits 0.\n");
        return 0;
    }
#ifdef _WIN32
    gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    // Every thread the listener starts inherits this mask, so only our sigwait sees the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
#endif

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        fprintf(stderr, "kvlisten: COM could not be initialised (0x%08lx)\n", static_cast<unsigned long>(hr));
        return 1;
    }
    int exitCode = 1;
    CLSID clsid;
    IEventListener* listener = nullptr;
    hr = CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(hr)) {
        fprintf(stderr, "kvlisten: \"KVLUMEN.Listener\" is not registered (0x%08lx); register KVEvLsn first\n",
                static_cast<unsigned long>(hr));
    } else if (FAILED(hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IEventListener,
                                            reinterpret_cast<void**>(&listener)))) {
        fprintf(stderr, "kvlisten: cannot create the listener (0x%08lx)\n", static_cast<unsigned long>(hr));
    } else {
        BSTR listenInfo = nullptr;
        hr = listener->Start(&listenInfo);
        if (FAILED(hr)) {
            fprintf(stderr, "kvlisten: the listener did not start (0x%08lx); see the component's log\n",
                    static_cast<unsigned long>(hr));
        } else {
            PrintText("listening on port ", listenInfo);
            SysFreeString(listenInfo);
#ifdef _WIN32
            WaitForSingleObject(gStopEvent, INFINITE);
#else
            int received = 0;
            sigwait(&stopSignals, &received);
#endif
            hr = listener->Stop();
            if (FAILED(hr)) {
                fprintf(stderr, "kvlisten: stopping the listener failed (0x%08lx)\n", static_cast<unsigned long>(hr));
            } else {
                printf("stopped\n");
                exitCode = 0;
            }
        }
        listener->Release();
    }
    CoUninitialize();
    return exitCode;
}
