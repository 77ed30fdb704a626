// The Windows SDK headers, for the Windows backends only, with the SDK's
// macros that share a name with this system's platform services taken away.
//
// The SDK spells most services as macros (CreateProcess for CreateProcessA,
// ERROR_FILE_NOT_FOUND for 2L), so a platform header read after <windows.h>
// would have its declarations rewritten. A backend includes this file
// first, then the platform headers, and calls the SDK by its explicit names
// (CreateProcessA, DeleteFileA). The SDK's values of the shared constants
// are kept under sdk:: and checked against the platform headers' own below,
// so the two can never drift apart.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <fdi.h>
#include <lzexpand.h>
#include <richedit.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wininet.h>
#include <winver.h>
// clang-format on

// clang-format off
namespace sdk {
#define KESTREL_SDK_KEEP(name) inline constexpr auto name##_ = (name);
KESTREL_SDK_KEEP(ERROR_ACCESS_DENIED)
KESTREL_SDK_KEEP(ERROR_ALREADY_EXISTS)
KESTREL_SDK_KEEP(ERROR_BAD_EXE_FORMAT)
KESTREL_SDK_KEEP(ERROR_BAD_FORMAT)
KESTREL_SDK_KEEP(ERROR_DIRECTORY)
KESTREL_SDK_KEEP(ERROR_DIR_NOT_EMPTY)
KESTREL_SDK_KEEP(ERROR_DISK_FULL)
KESTREL_SDK_KEEP(ERROR_ENVVAR_NOT_FOUND)
KESTREL_SDK_KEEP(ERROR_FILE_EXISTS)
KESTREL_SDK_KEEP(ERROR_FILE_NOT_FOUND)
KESTREL_SDK_KEEP(ERROR_FTP_TRANSFER_IN_PROGRESS)
KESTREL_SDK_KEEP(ERROR_HANDLE_EOF)
KESTREL_SDK_KEEP(ERROR_HTTP_HEADER_NOT_FOUND)
KESTREL_SDK_KEEP(ERROR_HTTP_INVALID_SERVER_RESPONSE)
KESTREL_SDK_KEEP(ERROR_HTTP_REDIRECT_FAILED)
KESTREL_SDK_KEEP(ERROR_INSUFFICIENT_BUFFER)
KESTREL_SDK_KEEP(ERROR_INTERNET_CANNOT_CONNECT)
KESTREL_SDK_KEEP(ERROR_INTERNET_CONNECTION_ABORTED)
KESTREL_SDK_KEEP(ERROR_INTERNET_CONNECTION_RESET)
KESTREL_SDK_KEEP(ERROR_INTERNET_EXTENDED_ERROR)
KESTREL_SDK_KEEP(ERROR_INTERNET_INCORRECT_HANDLE_STATE)
KESTREL_SDK_KEEP(ERROR_INTERNET_INCORRECT_HANDLE_TYPE)
KESTREL_SDK_KEEP(ERROR_INTERNET_INTERNAL_ERROR)
KESTREL_SDK_KEEP(ERROR_INTERNET_INVALID_CA)
KESTREL_SDK_KEEP(ERROR_INTERNET_INVALID_OPTION)
KESTREL_SDK_KEEP(ERROR_INTERNET_INVALID_URL)
KESTREL_SDK_KEEP(ERROR_INTERNET_LOGIN_FAILURE)
KESTREL_SDK_KEEP(ERROR_INTERNET_NAME_NOT_RESOLVED)
KESTREL_SDK_KEEP(ERROR_INTERNET_OPERATION_CANCELLED)
KESTREL_SDK_KEEP(ERROR_INTERNET_OUT_OF_HANDLES)
KESTREL_SDK_KEEP(ERROR_INTERNET_SECURITY_CHANNEL_ERROR)
KESTREL_SDK_KEEP(ERROR_INTERNET_SEC_CERT_CN_INVALID)
KESTREL_SDK_KEEP(ERROR_INTERNET_SEC_CERT_DATE_INVALID)
KESTREL_SDK_KEEP(ERROR_INTERNET_SEC_CERT_ERRORS)
KESTREL_SDK_KEEP(ERROR_INTERNET_TIMEOUT)
KESTREL_SDK_KEEP(ERROR_INTERNET_UNRECOGNIZED_SCHEME)
KESTREL_SDK_KEEP(ERROR_INVALID_DATA)
KESTREL_SDK_KEEP(ERROR_INVALID_HANDLE)
KESTREL_SDK_KEEP(ERROR_INVALID_PARAMETER)
KESTREL_SDK_KEEP(ERROR_NOT_ENOUGH_MEMORY)
KESTREL_SDK_KEEP(ERROR_NOT_SAME_DEVICE)
KESTREL_SDK_KEEP(ERROR_NO_MORE_FILES)
KESTREL_SDK_KEEP(ERROR_PATH_NOT_FOUND)
KESTREL_SDK_KEEP(ERROR_RESOURCE_TYPE_NOT_FOUND)
KESTREL_SDK_KEEP(ERROR_SHARING_VIOLATION)
KESTREL_SDK_KEEP(ERROR_SUCCESS)
KESTREL_SDK_KEEP(ERROR_WRITE_PROTECT)
KESTREL_SDK_KEEP(FILE_ATTRIBUTE_ARCHIVE)
KESTREL_SDK_KEEP(FILE_ATTRIBUTE_DIRECTORY)
KESTREL_SDK_KEEP(FILE_ATTRIBUTE_HIDDEN)
KESTREL_SDK_KEEP(FILE_ATTRIBUTE_NORMAL)
KESTREL_SDK_KEEP(FILE_ATTRIBUTE_READONLY)
KESTREL_SDK_KEEP(FILE_ATTRIBUTE_REPARSE_POINT)
KESTREL_SDK_KEEP(FILE_BEGIN)
KESTREL_SDK_KEEP(FILE_CURRENT)
KESTREL_SDK_KEEP(FILE_END)
KESTREL_SDK_KEEP(FTP_TRANSFER_TYPE_ASCII)
KESTREL_SDK_KEEP(FTP_TRANSFER_TYPE_BINARY)
KESTREL_SDK_KEEP(GENERIC_READ)
KESTREL_SDK_KEEP(HFILE_ERROR)
KESTREL_SDK_KEEP(HTTP_QUERY_CONTENT_LENGTH)
KESTREL_SDK_KEEP(HTTP_QUERY_CONTENT_RANGE)
KESTREL_SDK_KEEP(HTTP_QUERY_ETAG)
KESTREL_SDK_KEEP(HTTP_QUERY_FLAG_NUMBER)
KESTREL_SDK_KEEP(HTTP_QUERY_LAST_MODIFIED)
KESTREL_SDK_KEEP(HTTP_QUERY_STATUS_CODE)
KESTREL_SDK_KEEP(IDABORT)
KESTREL_SDK_KEEP(IDCANCEL)
KESTREL_SDK_KEEP(IDIGNORE)
KESTREL_SDK_KEEP(IDNO)
KESTREL_SDK_KEEP(IDOK)
KESTREL_SDK_KEEP(IDRETRY)
KESTREL_SDK_KEEP(IDYES)
KESTREL_SDK_KEEP(INTERNET_AUTODIAL_FORCE_ONLINE)
KESTREL_SDK_KEEP(INTERNET_CONNECTION_LAN)
KESTREL_SDK_KEEP(INTERNET_DEFAULT_FTP_PORT)
KESTREL_SDK_KEEP(INTERNET_DEFAULT_HTTP_PORT)
KESTREL_SDK_KEEP(INTERNET_FLAG_EXISTING_CONNECT)
KESTREL_SDK_KEEP(INTERNET_FLAG_KEEP_CONNECTION)
KESTREL_SDK_KEEP(INTERNET_FLAG_NO_CACHE_WRITE)
KESTREL_SDK_KEEP(INTERNET_FLAG_PASSIVE)
KESTREL_SDK_KEEP(INTERNET_FLAG_PRAGMA_NOCACHE)
KESTREL_SDK_KEEP(INTERNET_FLAG_RELOAD)
KESTREL_SDK_KEEP(INTERNET_OPEN_TYPE_DIRECT)
KESTREL_SDK_KEEP(INTERNET_OPEN_TYPE_PRECONFIG)
KESTREL_SDK_KEEP(INTERNET_OPEN_TYPE_PROXY)
KESTREL_SDK_KEEP(INTERNET_OPTION_CONNECT_TIMEOUT)
KESTREL_SDK_KEEP(INTERNET_OPTION_RECEIVE_TIMEOUT)
KESTREL_SDK_KEEP(INTERNET_SERVICE_FTP)
KESTREL_SDK_KEEP(INTERNET_SERVICE_HTTP)
KESTREL_SDK_KEEP(INVALID_FILE_ATTRIBUTES)
KESTREL_SDK_KEEP(LZERROR_BADINHANDLE)
KESTREL_SDK_KEEP(LZERROR_BADOUTHANDLE)
KESTREL_SDK_KEEP(LZERROR_BADVALUE)
KESTREL_SDK_KEEP(LZERROR_GLOBALLOC)
KESTREL_SDK_KEEP(LZERROR_READ)
KESTREL_SDK_KEEP(LZERROR_UNKNOWNALG)
KESTREL_SDK_KEEP(LZERROR_WRITE)
KESTREL_SDK_KEEP(MB_ABORTRETRYIGNORE)
KESTREL_SDK_KEEP(MB_DEFBUTTON2)
KESTREL_SDK_KEEP(MB_DEFBUTTON3)
KESTREL_SDK_KEEP(MB_DEFMASK)
KESTREL_SDK_KEEP(MB_ICONERROR)
KESTREL_SDK_KEEP(MB_ICONINFORMATION)
KESTREL_SDK_KEEP(MB_ICONMASK)
KESTREL_SDK_KEEP(MB_ICONQUESTION)
KESTREL_SDK_KEEP(MB_ICONWARNING)
KESTREL_SDK_KEEP(MB_OK)
KESTREL_SDK_KEEP(MB_OKCANCEL)
KESTREL_SDK_KEEP(MB_RETRYCANCEL)
KESTREL_SDK_KEEP(MB_SYSTEMMODAL)
KESTREL_SDK_KEEP(MB_TASKMODAL)
KESTREL_SDK_KEEP(MB_TOPMOST)
KESTREL_SDK_KEEP(MB_TYPEMASK)
KESTREL_SDK_KEEP(MB_YESNO)
KESTREL_SDK_KEEP(MB_YESNOCANCEL)
KESTREL_SDK_KEEP(OF_READ)
KESTREL_SDK_KEEP(OF_READWRITE)
KESTREL_SDK_KEEP(OF_SHARE_DENY_NONE)
KESTREL_SDK_KEEP(OF_SHARE_DENY_READ)
KESTREL_SDK_KEEP(OF_SHARE_DENY_WRITE)
KESTREL_SDK_KEEP(OF_SHARE_EXCLUSIVE)
KESTREL_SDK_KEEP(OF_WRITE)
KESTREL_SDK_KEEP(REG_DWORD)
KESTREL_SDK_KEEP(REG_SZ)
KESTREL_SDK_KEEP(SW_RESTORE)
KESTREL_SDK_KEEP(VK_ESCAPE)
KESTREL_SDK_KEEP(VK_RETURN)
KESTREL_SDK_KEEP(WM_USER)
KESTREL_SDK_KEEP(cpu80286)
KESTREL_SDK_KEEP(cpu80386)
KESTREL_SDK_KEEP(cpuUNKNOWN)
#undef KESTREL_SDK_KEEP
}  // namespace sdk

#undef CreateDirectory
#undef CreateProcess
#undef DeleteFile
#undef ERROR_ACCESS_DENIED
#undef ERROR_ALREADY_EXISTS
#undef ERROR_BAD_EXE_FORMAT
#undef ERROR_BAD_FORMAT
#undef ERROR_DIRECTORY
#undef ERROR_DIR_NOT_EMPTY
#undef ERROR_DISK_FULL
#undef ERROR_ENVVAR_NOT_FOUND
#undef ERROR_FILE_EXISTS
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_FTP_TRANSFER_IN_PROGRESS
#undef ERROR_HANDLE_EOF
#undef ERROR_HTTP_HEADER_NOT_FOUND
#undef ERROR_HTTP_INVALID_SERVER_RESPONSE
#undef ERROR_HTTP_REDIRECT_FAILED
#undef ERROR_INSUFFICIENT_BUFFER
#undef ERROR_INTERNET_CANNOT_CONNECT
#undef ERROR_INTERNET_CONNECTION_ABORTED
#undef ERROR_INTERNET_CONNECTION_RESET
#undef ERROR_INTERNET_EXTENDED_ERROR
#undef ERROR_INTERNET_INCORRECT_HANDLE_STATE
#undef ERROR_INTERNET_INCORRECT_HANDLE_TYPE
#undef ERROR_INTERNET_INTERNAL_ERROR
#undef ERROR_INTERNET_INVALID_CA
#undef ERROR_INTERNET_INVALID_OPTION
#undef ERROR_INTERNET_INVALID_URL
#undef ERROR_INTERNET_LOGIN_FAILURE
#undef ERROR_INTERNET_NAME_NOT_RESOLVED
#undef ERROR_INTERNET_OPERATION_CANCELLED
#undef ERROR_INTERNET_OUT_OF_HANDLES
#undef ERROR_INTERNET_SECURITY_CHANNEL_ERROR
#undef ERROR_INTERNET_SEC_CERT_CN_INVALID
#undef ERROR_INTERNET_SEC_CERT_DATE_INVALID
#undef ERROR_INTERNET_SEC_CERT_ERRORS
#undef ERROR_INTERNET_TIMEOUT
#undef ERROR_INTERNET_UNRECOGNIZED_SCHEME
#undef ERROR_INVALID_DATA
#undef ERROR_INVALID_HANDLE
#undef ERROR_INVALID_PARAMETER
#undef ERROR_NOT_ENOUGH_MEMORY
#undef ERROR_NOT_SAME_DEVICE
#undef ERROR_NO_MORE_FILES
#undef ERROR_PATH_NOT_FOUND
#undef ERROR_RESOURCE_TYPE_NOT_FOUND
#undef ERROR_SHARING_VIOLATION
#undef ERROR_SUCCESS
#undef ERROR_WRITE_PROTECT
#undef FILE_ATTRIBUTE_ARCHIVE
#undef FILE_ATTRIBUTE_DIRECTORY
#undef FILE_ATTRIBUTE_HIDDEN
#undef FILE_ATTRIBUTE_NORMAL
#undef FILE_ATTRIBUTE_READONLY
#undef FILE_ATTRIBUTE_REPARSE_POINT
#undef FILE_BEGIN
#undef FILE_CURRENT
#undef FILE_END
#undef FTP_TRANSFER_TYPE_ASCII
#undef FTP_TRANSFER_TYPE_BINARY
#undef FindResource
#undef FindWindow
#undef FormatMessage
#undef FtpCommand
#undef FtpFindFirstFile
#undef FtpOpenFile
#undef FtpSetCurrentDirectory
#undef GENERIC_READ
#undef GetCommandLine
#undef GetCurrentDirectory
#undef GetDiskFreeSpace
#undef GetEnvironmentVariable
#undef GetExpandedName
#undef GetFileAttributes
#undef GetFileVersionInfo
#undef GetFullPathName
#undef GetModuleFileName
#undef GetPrivateProfileInt
#undef GetPrivateProfileSectionNames
#undef GetPrivateProfileString
#undef GetTempFileName
#undef GetTempPath
#undef HFILE_ERROR
#undef HTTP_QUERY_CONTENT_LENGTH
#undef HTTP_QUERY_CONTENT_RANGE
#undef HTTP_QUERY_ETAG
#undef HTTP_QUERY_FLAG_NUMBER
#undef HTTP_QUERY_LAST_MODIFIED
#undef HTTP_QUERY_STATUS_CODE
#undef HttpOpenRequest
#undef HttpQueryInfo
#undef HttpSendRequest
#undef IDABORT
#undef IDCANCEL
#undef IDIGNORE
#undef IDNO
#undef IDOK
#undef IDRETRY
#undef IDYES
#undef INTERNET_AUTODIAL_FORCE_ONLINE
#undef INTERNET_CONNECTION_LAN
#undef INTERNET_DEFAULT_FTP_PORT
#undef INTERNET_DEFAULT_HTTP_PORT
#undef INTERNET_FLAG_EXISTING_CONNECT
#undef INTERNET_FLAG_KEEP_CONNECTION
#undef INTERNET_FLAG_NO_CACHE_WRITE
#undef INTERNET_FLAG_PASSIVE
#undef INTERNET_FLAG_PRAGMA_NOCACHE
#undef INTERNET_FLAG_RELOAD
#undef INTERNET_OPEN_TYPE_DIRECT
#undef INTERNET_OPEN_TYPE_PRECONFIG
#undef INTERNET_OPEN_TYPE_PROXY
#undef INTERNET_OPTION_CONNECT_TIMEOUT
#undef INTERNET_OPTION_RECEIVE_TIMEOUT
#undef INTERNET_SERVICE_FTP
#undef INTERNET_SERVICE_HTTP
#undef INVALID_FILE_ATTRIBUTES
#undef InternetConnect
#undef InternetGetLastResponseInfo
#undef InternetOpen
#undef InternetOpenUrl
#undef InternetSetOption
#undef LZERROR_BADINHANDLE
#undef LZERROR_BADOUTHANDLE
#undef LZERROR_BADVALUE
#undef LZERROR_GLOBALLOC
#undef LZERROR_READ
#undef LZERROR_UNKNOWNALG
#undef LZERROR_WRITE
#undef LZOpenFile
#undef LoadString
#undef MB_ABORTRETRYIGNORE
#undef MB_DEFBUTTON2
#undef MB_DEFBUTTON3
#undef MB_DEFMASK
#undef MB_ICONERROR
#undef MB_ICONINFORMATION
#undef MB_ICONMASK
#undef MB_ICONQUESTION
#undef MB_ICONWARNING
#undef MB_OK
#undef MB_OKCANCEL
#undef MB_RETRYCANCEL
#undef MB_SYSTEMMODAL
#undef MB_TASKMODAL
#undef MB_TOPMOST
#undef MB_TYPEMASK
#undef MB_YESNO
#undef MB_YESNOCANCEL
#undef MessageBox
#undef MoveFile
#undef OF_READ
#undef OF_READWRITE
#undef OF_SHARE_DENY_NONE
#undef OF_SHARE_DENY_READ
#undef OF_SHARE_DENY_WRITE
#undef OF_SHARE_EXCLUSIVE
#undef OF_WRITE
#undef PostMessage
#undef REG_DWORD
#undef REG_SZ
#undef RGB
#undef RT_VERSION
#undef RemoveDirectory
#undef SW_RESTORE
#undef SetCurrentDirectory
#undef SetEnvironmentVariable
#undef SetFileAttributes
#undef VK_ESCAPE
#undef VK_RETURN
#undef WM_USER
#undef WritePrivateProfileString
#undef cpu80286
#undef cpu80386
#undef cpuUNKNOWN
// clang-format on

#include "platform/cabinet.h"
#include "platform/inet.h"
#include "platform/kernel.h"
#include "platform/lfile.h"
#include "platform/lz.h"
#include "platform/ui.h"

// clang-format off
static_assert(static_cast<long long>(kernel::ERROR_ACCESS_DENIED) == static_cast<long long>(sdk::ERROR_ACCESS_DENIED_));
static_assert(static_cast<long long>(kernel::ERROR_ALREADY_EXISTS) == static_cast<long long>(sdk::ERROR_ALREADY_EXISTS_));
static_assert(static_cast<long long>(kernel::ERROR_BAD_EXE_FORMAT) == static_cast<long long>(sdk::ERROR_BAD_EXE_FORMAT_));
static_assert(static_cast<long long>(kernel::ERROR_BAD_FORMAT) == static_cast<long long>(sdk::ERROR_BAD_FORMAT_));
static_assert(static_cast<long long>(kernel::ERROR_DIRECTORY) == static_cast<long long>(sdk::ERROR_DIRECTORY_));
static_assert(static_cast<long long>(kernel::ERROR_DIR_NOT_EMPTY) == static_cast<long long>(sdk::ERROR_DIR_NOT_EMPTY_));
static_assert(static_cast<long long>(kernel::ERROR_DISK_FULL) == static_cast<long long>(sdk::ERROR_DISK_FULL_));
static_assert(static_cast<long long>(kernel::ERROR_ENVVAR_NOT_FOUND) == static_cast<long long>(sdk::ERROR_ENVVAR_NOT_FOUND_));
static_assert(static_cast<long long>(kernel::ERROR_FILE_EXISTS) == static_cast<long long>(sdk::ERROR_FILE_EXISTS_));
static_assert(static_cast<long long>(kernel::ERROR_FILE_NOT_FOUND) == static_cast<long long>(sdk::ERROR_FILE_NOT_FOUND_));
static_assert(static_cast<long long>(inet::ERROR_FTP_TRANSFER_IN_PROGRESS) == static_cast<long long>(sdk::ERROR_FTP_TRANSFER_IN_PROGRESS_));
static_assert(static_cast<long long>(kernel::ERROR_HANDLE_EOF) == static_cast<long long>(sdk::ERROR_HANDLE_EOF_));
static_assert(static_cast<long long>(inet::ERROR_HTTP_HEADER_NOT_FOUND) == static_cast<long long>(sdk::ERROR_HTTP_HEADER_NOT_FOUND_));
static_assert(static_cast<long long>(inet::ERROR_HTTP_INVALID_SERVER_RESPONSE) == static_cast<long long>(sdk::ERROR_HTTP_INVALID_SERVER_RESPONSE_));
static_assert(static_cast<long long>(inet::ERROR_HTTP_REDIRECT_FAILED) == static_cast<long long>(sdk::ERROR_HTTP_REDIRECT_FAILED_));
static_assert(static_cast<long long>(kernel::ERROR_INSUFFICIENT_BUFFER) == static_cast<long long>(sdk::ERROR_INSUFFICIENT_BUFFER_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_CANNOT_CONNECT) == static_cast<long long>(sdk::ERROR_INTERNET_CANNOT_CONNECT_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_CONNECTION_ABORTED) == static_cast<long long>(sdk::ERROR_INTERNET_CONNECTION_ABORTED_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_CONNECTION_RESET) == static_cast<long long>(sdk::ERROR_INTERNET_CONNECTION_RESET_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_EXTENDED_ERROR) == static_cast<long long>(sdk::ERROR_INTERNET_EXTENDED_ERROR_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_INCORRECT_HANDLE_STATE) == static_cast<long long>(sdk::ERROR_INTERNET_INCORRECT_HANDLE_STATE_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_INCORRECT_HANDLE_TYPE) == static_cast<long long>(sdk::ERROR_INTERNET_INCORRECT_HANDLE_TYPE_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_INTERNAL_ERROR) == static_cast<long long>(sdk::ERROR_INTERNET_INTERNAL_ERROR_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_INVALID_CA) == static_cast<long long>(sdk::ERROR_INTERNET_INVALID_CA_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_INVALID_OPTION) == static_cast<long long>(sdk::ERROR_INTERNET_INVALID_OPTION_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_INVALID_URL) == static_cast<long long>(sdk::ERROR_INTERNET_INVALID_URL_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_LOGIN_FAILURE) == static_cast<long long>(sdk::ERROR_INTERNET_LOGIN_FAILURE_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_NAME_NOT_RESOLVED) == static_cast<long long>(sdk::ERROR_INTERNET_NAME_NOT_RESOLVED_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_OPERATION_CANCELLED) == static_cast<long long>(sdk::ERROR_INTERNET_OPERATION_CANCELLED_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_OUT_OF_HANDLES) == static_cast<long long>(sdk::ERROR_INTERNET_OUT_OF_HANDLES_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_SECURITY_CHANNEL_ERROR) == static_cast<long long>(sdk::ERROR_INTERNET_SECURITY_CHANNEL_ERROR_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_SEC_CERT_CN_INVALID) == static_cast<long long>(sdk::ERROR_INTERNET_SEC_CERT_CN_INVALID_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_SEC_CERT_DATE_INVALID) == static_cast<long long>(sdk::ERROR_INTERNET_SEC_CERT_DATE_INVALID_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_SEC_CERT_ERRORS) == static_cast<long long>(sdk::ERROR_INTERNET_SEC_CERT_ERRORS_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_TIMEOUT) == static_cast<long long>(sdk::ERROR_INTERNET_TIMEOUT_));
static_assert(static_cast<long long>(inet::ERROR_INTERNET_UNRECOGNIZED_SCHEME) == static_cast<long long>(sdk::ERROR_INTERNET_UNRECOGNIZED_SCHEME_));
static_assert(static_cast<long long>(kernel::ERROR_INVALID_DATA) == static_cast<long long>(sdk::ERROR_INVALID_DATA_));
static_assert(static_cast<long long>(kernel::ERROR_INVALID_HANDLE) == static_cast<long long>(sdk::ERROR_INVALID_HANDLE_));
static_assert(static_cast<long long>(kernel::ERROR_INVALID_PARAMETER) == static_cast<long long>(sdk::ERROR_INVALID_PARAMETER_));
static_assert(static_cast<long long>(kernel::ERROR_NOT_ENOUGH_MEMORY) == static_cast<long long>(sdk::ERROR_NOT_ENOUGH_MEMORY_));
static_assert(static_cast<long long>(kernel::ERROR_NOT_SAME_DEVICE) == static_cast<long long>(sdk::ERROR_NOT_SAME_DEVICE_));
static_assert(static_cast<long long>(kernel::ERROR_NO_MORE_FILES) == static_cast<long long>(sdk::ERROR_NO_MORE_FILES_));
static_assert(static_cast<long long>(kernel::ERROR_PATH_NOT_FOUND) == static_cast<long long>(sdk::ERROR_PATH_NOT_FOUND_));
static_assert(static_cast<long long>(kernel::ERROR_RESOURCE_TYPE_NOT_FOUND) == static_cast<long long>(sdk::ERROR_RESOURCE_TYPE_NOT_FOUND_));
static_assert(static_cast<long long>(kernel::ERROR_SHARING_VIOLATION) == static_cast<long long>(sdk::ERROR_SHARING_VIOLATION_));
static_assert(static_cast<long long>(kernel::ERROR_SUCCESS) == static_cast<long long>(sdk::ERROR_SUCCESS_));
static_assert(static_cast<long long>(kernel::ERROR_WRITE_PROTECT) == static_cast<long long>(sdk::ERROR_WRITE_PROTECT_));
static_assert(static_cast<long long>(kernel::FILE_ATTRIBUTE_ARCHIVE) == static_cast<long long>(sdk::FILE_ATTRIBUTE_ARCHIVE_));
static_assert(static_cast<long long>(kernel::FILE_ATTRIBUTE_DIRECTORY) == static_cast<long long>(sdk::FILE_ATTRIBUTE_DIRECTORY_));
static_assert(static_cast<long long>(kernel::FILE_ATTRIBUTE_HIDDEN) == static_cast<long long>(sdk::FILE_ATTRIBUTE_HIDDEN_));
static_assert(static_cast<long long>(kernel::FILE_ATTRIBUTE_NORMAL) == static_cast<long long>(sdk::FILE_ATTRIBUTE_NORMAL_));
static_assert(static_cast<long long>(kernel::FILE_ATTRIBUTE_READONLY) == static_cast<long long>(sdk::FILE_ATTRIBUTE_READONLY_));
static_assert(static_cast<long long>(kernel::FILE_ATTRIBUTE_REPARSE_POINT) == static_cast<long long>(sdk::FILE_ATTRIBUTE_REPARSE_POINT_));
static_assert(static_cast<long long>(kernel::FILE_BEGIN) == static_cast<long long>(sdk::FILE_BEGIN_));
static_assert(static_cast<long long>(kernel::FILE_CURRENT) == static_cast<long long>(sdk::FILE_CURRENT_));
static_assert(static_cast<long long>(kernel::FILE_END) == static_cast<long long>(sdk::FILE_END_));
static_assert(static_cast<long long>(inet::FTP_TRANSFER_TYPE_ASCII) == static_cast<long long>(sdk::FTP_TRANSFER_TYPE_ASCII_));
static_assert(static_cast<long long>(inet::FTP_TRANSFER_TYPE_BINARY) == static_cast<long long>(sdk::FTP_TRANSFER_TYPE_BINARY_));
static_assert(static_cast<long long>(inet::GENERIC_READ) == static_cast<long long>(sdk::GENERIC_READ_));
static_assert(static_cast<long long>(kernel::HFILE_ERROR) == static_cast<long long>(sdk::HFILE_ERROR_));
static_assert(static_cast<long long>(inet::HTTP_QUERY_CONTENT_LENGTH) == static_cast<long long>(sdk::HTTP_QUERY_CONTENT_LENGTH_));
static_assert(static_cast<long long>(inet::HTTP_QUERY_FLAG_NUMBER) == static_cast<long long>(sdk::HTTP_QUERY_FLAG_NUMBER_));
static_assert(static_cast<long long>(inet::HTTP_QUERY_STATUS_CODE) == static_cast<long long>(sdk::HTTP_QUERY_STATUS_CODE_));
static_assert(static_cast<long long>(ui::IDABORT) == static_cast<long long>(sdk::IDABORT_));
static_assert(static_cast<long long>(ui::IDCANCEL) == static_cast<long long>(sdk::IDCANCEL_));
static_assert(static_cast<long long>(ui::IDIGNORE) == static_cast<long long>(sdk::IDIGNORE_));
static_assert(static_cast<long long>(ui::IDNO) == static_cast<long long>(sdk::IDNO_));
static_assert(static_cast<long long>(ui::IDOK) == static_cast<long long>(sdk::IDOK_));
static_assert(static_cast<long long>(ui::IDRETRY) == static_cast<long long>(sdk::IDRETRY_));
static_assert(static_cast<long long>(ui::IDYES) == static_cast<long long>(sdk::IDYES_));
static_assert(static_cast<long long>(inet::INTERNET_AUTODIAL_FORCE_ONLINE) == static_cast<long long>(sdk::INTERNET_AUTODIAL_FORCE_ONLINE_));
static_assert(static_cast<long long>(inet::INTERNET_CONNECTION_LAN) == static_cast<long long>(sdk::INTERNET_CONNECTION_LAN_));
static_assert(static_cast<long long>(inet::INTERNET_DEFAULT_FTP_PORT) == static_cast<long long>(sdk::INTERNET_DEFAULT_FTP_PORT_));
static_assert(static_cast<long long>(inet::INTERNET_DEFAULT_HTTP_PORT) == static_cast<long long>(sdk::INTERNET_DEFAULT_HTTP_PORT_));
static_assert(static_cast<long long>(inet::INTERNET_FLAG_EXISTING_CONNECT) == static_cast<long long>(sdk::INTERNET_FLAG_EXISTING_CONNECT_));
static_assert(static_cast<long long>(inet::INTERNET_FLAG_KEEP_CONNECTION) == static_cast<long long>(sdk::INTERNET_FLAG_KEEP_CONNECTION_));
static_assert(static_cast<long long>(inet::INTERNET_FLAG_NO_CACHE_WRITE) == static_cast<long long>(sdk::INTERNET_FLAG_NO_CACHE_WRITE_));
static_assert(static_cast<long long>(inet::INTERNET_FLAG_PASSIVE) == static_cast<long long>(sdk::INTERNET_FLAG_PASSIVE_));
static_assert(static_cast<long long>(inet::INTERNET_FLAG_PRAGMA_NOCACHE) == static_cast<long long>(sdk::INTERNET_FLAG_PRAGMA_NOCACHE_));
static_assert(static_cast<long long>(inet::INTERNET_FLAG_RELOAD) == static_cast<long long>(sdk::INTERNET_FLAG_RELOAD_));
static_assert(static_cast<long long>(inet::INTERNET_OPEN_TYPE_DIRECT) == static_cast<long long>(sdk::INTERNET_OPEN_TYPE_DIRECT_));
static_assert(static_cast<long long>(inet::INTERNET_OPEN_TYPE_PRECONFIG) == static_cast<long long>(sdk::INTERNET_OPEN_TYPE_PRECONFIG_));
static_assert(static_cast<long long>(inet::INTERNET_OPEN_TYPE_PROXY) == static_cast<long long>(sdk::INTERNET_OPEN_TYPE_PROXY_));
static_assert(static_cast<long long>(inet::INTERNET_OPTION_CONNECT_TIMEOUT) == static_cast<long long>(sdk::INTERNET_OPTION_CONNECT_TIMEOUT_));
static_assert(static_cast<long long>(inet::INTERNET_OPTION_RECEIVE_TIMEOUT) == static_cast<long long>(sdk::INTERNET_OPTION_RECEIVE_TIMEOUT_));
static_assert(static_cast<long long>(inet::INTERNET_SERVICE_FTP) == static_cast<long long>(sdk::INTERNET_SERVICE_FTP_));
static_assert(static_cast<long long>(inet::INTERNET_SERVICE_HTTP) == static_cast<long long>(sdk::INTERNET_SERVICE_HTTP_));
static_assert(static_cast<long long>(kernel::INVALID_FILE_ATTRIBUTES) == static_cast<long long>(sdk::INVALID_FILE_ATTRIBUTES_));
static_assert(static_cast<long long>(lz::LZERROR_BADINHANDLE) == static_cast<long long>(sdk::LZERROR_BADINHANDLE_));
static_assert(static_cast<long long>(lz::LZERROR_BADOUTHANDLE) == static_cast<long long>(sdk::LZERROR_BADOUTHANDLE_));
static_assert(static_cast<long long>(lz::LZERROR_BADVALUE) == static_cast<long long>(sdk::LZERROR_BADVALUE_));
static_assert(static_cast<long long>(lz::LZERROR_GLOBALLOC) == static_cast<long long>(sdk::LZERROR_GLOBALLOC_));
static_assert(static_cast<long long>(lz::LZERROR_READ) == static_cast<long long>(sdk::LZERROR_READ_));
static_assert(static_cast<long long>(lz::LZERROR_UNKNOWNALG) == static_cast<long long>(sdk::LZERROR_UNKNOWNALG_));
static_assert(static_cast<long long>(lz::LZERROR_WRITE) == static_cast<long long>(sdk::LZERROR_WRITE_));
static_assert(static_cast<long long>(ui::MB_ABORTRETRYIGNORE) == static_cast<long long>(sdk::MB_ABORTRETRYIGNORE_));
static_assert(static_cast<long long>(ui::MB_DEFBUTTON2) == static_cast<long long>(sdk::MB_DEFBUTTON2_));
static_assert(static_cast<long long>(ui::MB_DEFBUTTON3) == static_cast<long long>(sdk::MB_DEFBUTTON3_));
static_assert(static_cast<long long>(ui::MB_DEFMASK) == static_cast<long long>(sdk::MB_DEFMASK_));
static_assert(static_cast<long long>(ui::MB_ICONERROR) == static_cast<long long>(sdk::MB_ICONERROR_));
static_assert(static_cast<long long>(ui::MB_ICONINFORMATION) == static_cast<long long>(sdk::MB_ICONINFORMATION_));
static_assert(static_cast<long long>(ui::MB_ICONMASK) == static_cast<long long>(sdk::MB_ICONMASK_));
static_assert(static_cast<long long>(ui::MB_ICONQUESTION) == static_cast<long long>(sdk::MB_ICONQUESTION_));
static_assert(static_cast<long long>(ui::MB_ICONWARNING) == static_cast<long long>(sdk::MB_ICONWARNING_));
static_assert(static_cast<long long>(ui::MB_OK) == static_cast<long long>(sdk::MB_OK_));
static_assert(static_cast<long long>(ui::MB_OKCANCEL) == static_cast<long long>(sdk::MB_OKCANCEL_));
static_assert(static_cast<long long>(ui::MB_RETRYCANCEL) == static_cast<long long>(sdk::MB_RETRYCANCEL_));
static_assert(static_cast<long long>(ui::MB_SYSTEMMODAL) == static_cast<long long>(sdk::MB_SYSTEMMODAL_));
static_assert(static_cast<long long>(ui::MB_TASKMODAL) == static_cast<long long>(sdk::MB_TASKMODAL_));
static_assert(static_cast<long long>(ui::MB_TOPMOST) == static_cast<long long>(sdk::MB_TOPMOST_));
static_assert(static_cast<long long>(ui::MB_TYPEMASK) == static_cast<long long>(sdk::MB_TYPEMASK_));
static_assert(static_cast<long long>(ui::MB_YESNO) == static_cast<long long>(sdk::MB_YESNO_));
static_assert(static_cast<long long>(ui::MB_YESNOCANCEL) == static_cast<long long>(sdk::MB_YESNOCANCEL_));
static_assert(static_cast<long long>(kernel::OF_READ) == static_cast<long long>(sdk::OF_READ_));
static_assert(static_cast<long long>(kernel::OF_READWRITE) == static_cast<long long>(sdk::OF_READWRITE_));
static_assert(static_cast<long long>(kernel::OF_SHARE_DENY_NONE) == static_cast<long long>(sdk::OF_SHARE_DENY_NONE_));
static_assert(static_cast<long long>(kernel::OF_SHARE_DENY_READ) == static_cast<long long>(sdk::OF_SHARE_DENY_READ_));
static_assert(static_cast<long long>(kernel::OF_SHARE_DENY_WRITE) == static_cast<long long>(sdk::OF_SHARE_DENY_WRITE_));
static_assert(static_cast<long long>(kernel::OF_SHARE_EXCLUSIVE) == static_cast<long long>(sdk::OF_SHARE_EXCLUSIVE_));
static_assert(static_cast<long long>(kernel::OF_WRITE) == static_cast<long long>(sdk::OF_WRITE_));
static_assert(static_cast<long long>(ui::SW_RESTORE) == static_cast<long long>(sdk::SW_RESTORE_));
static_assert(static_cast<long long>(ui::VK_ESCAPE) == static_cast<long long>(sdk::VK_ESCAPE_));
static_assert(static_cast<long long>(ui::VK_RETURN) == static_cast<long long>(sdk::VK_RETURN_));
static_assert(static_cast<long long>(ui::WM_USER) == static_cast<long long>(sdk::WM_USER_));
static_assert(static_cast<long long>(cabinet::cpu80286) == static_cast<long long>(sdk::cpu80286_));
static_assert(static_cast<long long>(cabinet::cpu80386) == static_cast<long long>(sdk::cpu80386_));
static_assert(static_cast<long long>(cabinet::cpuUNKNOWN) == static_cast<long long>(sdk::cpuUNKNOWN_));
// clang-format on
