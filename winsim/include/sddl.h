// Simulated Windows SDK surface: SID string conversion.
#pragma once

#include <windows.h>

WINSIM_API BOOL WINAPI ConvertSidToStringSidA(PSID Sid, LPSTR *StringSid);
