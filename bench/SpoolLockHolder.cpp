// SpoolLockHolder.cpp -- a stalled lock holder for the fault driver: takes a spool folder's sequence mutex and sits on it.
//
//   spool_lock_holder FOLDER SECONDS
//
// The mutex is the one every process that spools into FOLDER takes to name its files (its name is
// derived from the folder's path, as the spool derives it). Prints "held" once it has it.
#include <windows.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: spool_lock_holder FOLDER SECONDS\n");
        return 2;
    }
    std::string name = "KV_SPOOL_SEQUENCE-";
    for (const char* c = argv[1]; *c; ++c) name += isalnum(static_cast<unsigned char>(*c)) ? static_cast<char>(tolower(*c)) : '_';
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    if (!mutex || WaitForSingleObject(mutex, 30000) != WAIT_OBJECT_0) {
        fprintf(stderr, "spool_lock_holder: cannot take %s (error %lu)\n", name.c_str(), (unsigned long)GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(atoi(argv[2])) * 1000);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}
