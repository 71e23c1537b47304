// Simulated Windows SDK surface: network management.
#pragma once

#include <windows.h>

typedef DWORD NET_API_STATUS;
#define NERR_Success 0

WINSIM_API NET_API_STATUS WINAPI NetGetAnyDCName(LPCWSTR servername, LPCWSTR domainname, LPBYTE *bufptr);
WINSIM_API NET_API_STATUS WINAPI NetApiBufferFree(LPVOID Buffer);
