// The Windows SDK types, constants and records the logic uses. On Windows they
// come from the SDK itself; elsewhere they are declared here with the SDK's
// values and x64 layouts, so the logic and its tests compile unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// clang-format off
#include <windows.h>
#include <winsvc.h>
#include <aclapi.h>
#include <winhttp.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <bcrypt.h>
#include <softpub.h>
#include <shlobj.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <dbghelp.h>
// clang-format on

#else  // !_WIN32

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORD64 = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using HRESULT = std::int32_t;
using LSTATUS = LONG;
using REGSAM = DWORD;
using ACCESS_MASK = DWORD;
using SECURITY_INFORMATION = DWORD;
using SECURITY_DESCRIPTOR_CONTROL = WORD;
using WCHAR = wchar_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = wchar_t*;
using PWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPBOOL = BOOL*;
using HANDLE = void*;

// As the SDK declares them: a distinct pointer type per handle. A type name
// in a using-declaration cannot be parenthesised.
#define VORA_DECLARE_HANDLE(name) \
  struct name##__ {               \
    int unused;                   \
  };                              \
  using name = name##__*  // NOLINT(bugprone-macro-parentheses)
VORA_DECLARE_HANDLE(HWND);
VORA_DECLARE_HANDLE(HKEY);
VORA_DECLARE_HANDLE(HDESK);
VORA_DECLARE_HANDLE(HINSTANCE);
VORA_DECLARE_HANDLE(HRSRC);
VORA_DECLARE_HANDLE(SC_HANDLE);
#undef VORA_DECLARE_HANDLE
using HMODULE = HINSTANCE;
using HGLOBAL = HANDLE;
using HLOCAL = HANDLE;
using HINTERNET = LPVOID;
using HCERTSTORE = void*;
using HCRYPTMSG = void*;
using PSID = void*;
using PSECURITY_DESCRIPTOR = void*;
using INTERNET_PORT = WORD;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000002))))
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define RT_RCDATA MAKEINTRESOURCEW(10)

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD INFINITE = 0xFFFFFFFF;

// Last-error codes.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_TIMEOUT = 1460;

// Generic and standard access rights.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x80;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

// Files.
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD FILE_SHARE_DELETE = 4;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_NAME_NORMALIZED = 0;
constexpr DWORD VOLUME_NAME_DOS = 0;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;
constexpr UINT LPTR = 0x40;

enum FILE_INFO_BY_HANDLE_CLASS {
  FileBasicInfo = 0,
  FileStandardInfo = 1,
  FileNameInfo = 2,
  FileRenameInfo = 3,
  FileDispositionInfo = 4,
  FileIdInfo = 18
};

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};
using PULARGE_INTEGER = ULARGE_INTEGER*;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

struct FILE_RENAME_INFO {
  union {
    BOOL ReplaceIfExists;
    DWORD Flags;
  };
  HANDLE RootDirectory;
  DWORD FileNameLength;
  WCHAR FileName[1];
};

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using KNOWNFOLDERID = GUID;
using REFKNOWNFOLDERID = const KNOWNFOLDERID&;

// Service control manager.
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;
constexpr DWORD SERVICE_CONFIG_FAILURE_ACTIONS = 2;
enum SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 };
enum SC_ACTION_TYPE { SC_ACTION_NONE = 0, SC_ACTION_RESTART = 1, SC_ACTION_REBOOT = 2, SC_ACTION_RUN_COMMAND = 3 };

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
};

struct SERVICE_DESCRIPTIONW {
  LPWSTR lpDescription;
};

struct SC_ACTION {
  SC_ACTION_TYPE Type;
  DWORD Delay;
};

struct SERVICE_FAILURE_ACTIONSW {
  DWORD dwResetPeriod;
  LPWSTR lpRebootMsg;
  LPWSTR lpCommand;
  DWORD cActions;
  SC_ACTION* lpsaActions;
};

// Security.
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 4;
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr DWORD SECURITY_MAX_SID_SIZE = 68;
constexpr DWORD NO_INHERITANCE = 0;
enum WELL_KNOWN_SID_TYPE { WinInteractiveSid = 11 };
enum ACCESS_MODE { NOT_USED_ACCESS = 0, GRANT_ACCESS = 1, SET_ACCESS = 2, DENY_ACCESS = 3, REVOKE_ACCESS = 4 };
enum MULTIPLE_TRUSTEE_OPERATION { NO_MULTIPLE_TRUSTEE = 0, TRUSTEE_IS_IMPERSONATE = 1 };
enum TRUSTEE_FORM { TRUSTEE_IS_SID = 0, TRUSTEE_IS_NAME = 1 };
enum TRUSTEE_TYPE {
  TRUSTEE_IS_UNKNOWN = 0,
  TRUSTEE_IS_USER = 1,
  TRUSTEE_IS_GROUP = 2,
  TRUSTEE_IS_WELL_KNOWN_GROUP = 5
};

struct ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
};
using PACL = ACL*;

struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
};

struct TRUSTEE_W {
  TRUSTEE_W* pMultipleTrustee;
  MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
  TRUSTEE_FORM TrusteeForm;
  TRUSTEE_TYPE TrusteeType;
  LPWSTR ptstrName;
};

// Object security, the process token, directory listings and link-safe files.
using PHANDLE = HANDLE*;
using PDWORD = DWORD*;
using BOOLEAN = BYTE;
constexpr SECURITY_INFORMATION OWNER_SECURITY_INFORMATION = 1;
constexpr SECURITY_INFORMATION PROTECTED_DACL_SECURITY_INFORMATION = 0x80000000;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_PROTECTED = 0x1000;
constexpr DWORD SUB_CONTAINERS_AND_OBJECTS_INHERIT = 3;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD WRITE_DAC = 0x00040000;
constexpr DWORD WRITE_OWNER = 0x00080000;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD FILE_LIST_DIRECTORY = 0x0001;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr DWORD FILE_ALL_ACCESS = 0x001F01FF;
constexpr DWORD FILE_GENERIC_READ = 0x00120089;
constexpr DWORD FILE_GENERIC_EXECUTE = 0x001200A0;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_NETNAME_DELETED = 64;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1, SE_KERNEL_OBJECT = 6 };
enum TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenOwner = 4 };

struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
struct TOKEN_OWNER {
  PSID Owner;
};
constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
using PLUID = LUID*;
struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[260];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

struct FILE_DISPOSITION_INFO {
  BOOLEAN DeleteFile;
};

struct FILE_BASIC_INFO {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  DWORD FileAttributes;
};

struct EXPLICIT_ACCESS_W {
  DWORD grfAccessPermissions;
  ACCESS_MODE grfAccessMode;
  DWORD grfInheritance;
  TRUSTEE_W Trustee;
};
using PEXPLICIT_ACCESS_W = EXPLICIT_ACCESS_W*;

// WinHTTP.
constexpr DWORD WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY = 4;
constexpr DWORD WINHTTP_FLAG_SECURE = 0x00800000;
constexpr DWORD WINHTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD WINHTTP_QUERY_FLAG_NUMBER = 0x20000000;
constexpr DWORD WINHTTP_QUERY_FLAG_NUMBER64 = 0x08000000;
constexpr DWORD WINHTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD WINHTTP_QUERY_LAST_MODIFIED = 11;
constexpr DWORD WINHTTP_QUERY_RETRY_AFTER = 36;
constexpr DWORD WINHTTP_QUERY_CONTENT_RANGE = 53;
constexpr DWORD WINHTTP_QUERY_ETAG = 54;
constexpr DWORD WINHTTP_OPTION_RECEIVE_TIMEOUT = 6;
constexpr DWORD WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT = 7;
constexpr DWORD ERROR_WINHTTP_HEADER_NOT_FOUND = 12150;
#define WINHTTP_NO_PROXY_NAME nullptr
#define WINHTTP_NO_PROXY_BYPASS nullptr
#define WINHTTP_NO_REFERER nullptr
#define WINHTTP_DEFAULT_ACCEPT_TYPES nullptr
#define WINHTTP_NO_ADDITIONAL_HEADERS nullptr
#define WINHTTP_NO_REQUEST_DATA nullptr
#define WINHTTP_HEADER_NAME_BY_INDEX nullptr
#define WINHTTP_NO_HEADER_INDEX nullptr
enum INTERNET_SCHEME { INTERNET_SCHEME_HTTP = 1, INTERNET_SCHEME_HTTPS = 2 };

struct URL_COMPONENTS {
  DWORD dwStructSize;
  LPWSTR lpszScheme;
  DWORD dwSchemeLength;
  INTERNET_SCHEME nScheme;
  LPWSTR lpszHostName;
  DWORD dwHostNameLength;
  INTERNET_PORT nPort;
  LPWSTR lpszUserName;
  DWORD dwUserNameLength;
  LPWSTR lpszPassword;
  DWORD dwPasswordLength;
  LPWSTR lpszUrlPath;
  DWORD dwUrlPathLength;
  LPWSTR lpszExtraInfo;
  DWORD dwExtraInfoLength;
};
using LPURL_COMPONENTS = URL_COMPONENTS*;

// Certificates and trust.
constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
constexpr DWORD CERT_QUERY_OBJECT_BLOB = 2;
constexpr DWORD CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED = 0x400;
constexpr DWORD CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED = 0x100;
constexpr DWORD CERT_QUERY_FORMAT_FLAG_BINARY = 2;
constexpr DWORD CMSG_CONTENT_PARAM = 2;
constexpr DWORD CMSG_SIGNER_INFO_PARAM = 6;
constexpr DWORD CERT_FIND_SUBJECT_CERT = 0x000B0000;
constexpr DWORD CERT_SHA1_HASH_PROP_ID = 3;
constexpr DWORD WTD_UI_NONE = 2;
constexpr DWORD WTD_REVOKE_WHOLECHAIN = 1;
constexpr DWORD WTD_CHOICE_FILE = 1;
constexpr DWORD WTD_STATEACTION_VERIFY = 1;
constexpr DWORD WTD_STATEACTION_CLOSE = 2;
constexpr DWORD WTD_CACHE_ONLY_URL_RETRIEVAL = 0x00001000;
constexpr HRESULT TRUST_E_PROVIDER_UNKNOWN = static_cast<HRESULT>(0x800B0001);

// CNG, for the release manifest's ECDSA signature.
using NTSTATUS = LONG;
using PUCHAR = unsigned char*;
using BCRYPT_ALG_HANDLE = void*;
using BCRYPT_KEY_HANDLE = void*;
#define BCRYPT_ECDSA_P256_ALGORITHM L"ECDSA_P256"
#define BCRYPT_ECCPUBLIC_BLOB L"ECCPUBLICBLOB"
constexpr ULONG BCRYPT_ECDSA_PUBLIC_P256_MAGIC = 0x31534345;
struct BCRYPT_ECCKEY_BLOB {
  ULONG dwMagic;
  ULONG cbKey;
};

struct CRYPT_INTEGER_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
using CRYPT_DATA_BLOB = CRYPT_INTEGER_BLOB;
using CERT_NAME_BLOB = CRYPT_INTEGER_BLOB;
using CRYPT_OBJID_BLOB = CRYPT_INTEGER_BLOB;
using CRYPT_HASH_BLOB = CRYPT_INTEGER_BLOB;
using CRYPT_ATTR_BLOB = CRYPT_INTEGER_BLOB;

struct CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
};

struct CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
};

struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};

struct CERT_EXTENSION;

struct CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  CERT_EXTENSION* rgExtension;
};
using PCERT_INFO = CERT_INFO*;

struct CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  CRYPT_ATTR_BLOB* rgValue;
};

struct CRYPT_ATTRIBUTES {
  DWORD cAttr;
  CRYPT_ATTRIBUTE* rgAttr;
};

struct CMSG_SIGNER_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedHash;
  CRYPT_ATTRIBUTES AuthAttrs;
  CRYPT_ATTRIBUTES UnauthAttrs;
};
using PCMSG_SIGNER_INFO = CMSG_SIGNER_INFO*;

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct WINTRUST_FILE_INFO {
  DWORD cbStruct;
  LPCWSTR pcwszFilePath;
  HANDLE hFile;
  GUID* pgKnownSubject;
};

// Crash dumps.
struct EXCEPTION_RECORD;
struct CONTEXT;
struct EXCEPTION_POINTERS {
  EXCEPTION_RECORD* ExceptionRecord;
  CONTEXT* ContextRecord;
};
using PEXCEPTION_POINTERS = EXCEPTION_POINTERS*;
using LPTOP_LEVEL_EXCEPTION_FILTER = LONG (*)(EXCEPTION_POINTERS*);
constexpr LONG EXCEPTION_EXECUTE_HANDLER = 1;
constexpr DWORD EXCEPTION_NONCONTINUABLE = 1;

#pragma pack(push, 4)
struct MINIDUMP_EXCEPTION_INFORMATION {
  DWORD ThreadId;
  PEXCEPTION_POINTERS ExceptionPointers;
  BOOL ClientPointers;
};
#pragma pack(pop)
using PMINIDUMP_EXCEPTION_INFORMATION = MINIDUMP_EXCEPTION_INFORMATION*;
enum MINIDUMP_TYPE : DWORD {};
struct MINIDUMP_USER_STREAM_INFORMATION;
struct MINIDUMP_CALLBACK_INFORMATION;

// User interface and registry.
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int SW_SHOWNORMAL = 1;
constexpr DWORD DESKTOP_READOBJECTS = 1;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_DELAY_UNTIL_REBOOT = 0x4;

#endif  // _WIN32

// Records whose layout the program fixes itself, identical in both builds.
namespace vora::platform {

// The SDK's full WINTRUST_DATA, including the signature settings pointer that
// some SDK headers omit; WinVerifyTrust takes it as an untyped pointer.
struct wintrust_data {
  DWORD cbStruct;
  LPVOID pPolicyCallbackData;
  LPVOID pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  WINTRUST_FILE_INFO* pFile;
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
  void* pSignatureSettings;
};

// FILE_ID_INFO: the volume serial number and the 128-bit file identifier.
struct file_id_info {
  ULONGLONG VolumeSerialNumber;
  BYTE FileId[16];
};

}  // namespace vora::platform

static_assert(sizeof(void*) == 8, "the program is 64-bit only");
static_assert(sizeof(SERVICE_STATUS) == 28);
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36);
static_assert(sizeof(FILE_RENAME_INFO) == 24);
static_assert(offsetof(FILE_RENAME_INFO, FileName) == 20);
static_assert(sizeof(URL_COMPONENTS) == 104);
static_assert(sizeof(WINTRUST_FILE_INFO) == 32);
static_assert(sizeof(vora::platform::wintrust_data) == 88);
static_assert(sizeof(vora::platform::file_id_info) == 24);
static_assert(offsetof(vora::platform::file_id_info, FileId) == 8);
#ifdef _WIN32
static_assert(sizeof(FILE_ID_INFO) == sizeof(vora::platform::file_id_info));
static_assert(offsetof(FILE_ID_INFO, FileId) == offsetof(vora::platform::file_id_info, FileId));
#endif
static_assert(sizeof(SERVICE_FAILURE_ACTIONSW) == 40);
static_assert(sizeof(SC_ACTION) == 8);
static_assert(sizeof(EXPLICIT_ACCESS_W) == 48);
static_assert(sizeof(MINIDUMP_EXCEPTION_INFORMATION) == 16);
static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(FILE_BASIC_INFO) == 40);
static_assert(sizeof(FILE_DISPOSITION_INFO) == 1);
static_assert(offsetof(WIN32_FIND_DATAW, cFileName) == 44);
static_assert(sizeof(TOKEN_USER) == 16);
