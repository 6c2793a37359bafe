// The four registry operations the switch needs, in the platform's own vocabulary.
// On Windows they are the real API; elsewhere they are served from REGEDIT4 hive files.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

// These are our own declarations of the public Windows types and numbers, so that the
// switch compiles unchanged on both platforms.
using BYTE = std::uint8_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using LSTATUS = LONG;
using REGSAM = DWORD;
using LPCSTR = const char *;
using LPSTR = char *;
using LPBYTE = BYTE *;
using LPDWORD = DWORD *;

struct RegistryKeyHandle;
using HKEY = RegistryKeyHandle *;
using PHKEY = HKEY *;
struct InstanceHandle;
using HINSTANCE = InstanceHandle *;

#define WINAPI

// NOLINTBEGIN(cppcoreguidelines-pro-type-reinterpret-cast,performance-no-int-to-ptr)
inline RegistryKeyHandle *const HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline RegistryKeyHandle *const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
// NOLINTEND(cppcoreguidelines-pro-type-reinterpret-cast,performance-no-int-to-ptr)

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_OUTOFMEMORY = 14;
inline constexpr LONG ERROR_WRITE_FAULT = 29;
inline constexpr LONG ERROR_READ_FAULT = 30;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_DISK_FULL = 112;
inline constexpr LONG ERROR_BAD_PATHNAME = 161;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_KEY_DELETED = 1018;

extern "C" {
LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult);
LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE *lpData, DWORD cbData);
LSTATUS RegCloseKey(HKEY hKey);
}
#endif
