// ws2tcpip.h -- Windows Sockets over POSIX sockets.
#pragma once
#include <windows.h>
#include "kvposix/winsock.h"
