// winsock2.h -- Windows Sockets over POSIX sockets.
#pragma once
#include <windows.h>
#include "kvposix/winsock.h"
