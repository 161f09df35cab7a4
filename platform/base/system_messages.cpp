// The system message texts behind FormatMessageA (FORMAT_MESSAGE_FROM_SYSTEM).
//
// English is the text Windows gives (Microsoft documents them with the SDK's
// error codes); Chinese is worded as a Traditional Chinese (zh-TW) Windows
// words it. Like Windows' own texts, each ends in "\r\n", and a text with an
// insert (%1, %2) keeps it, as FORMAT_MESSAGE_IGNORE_INSERTS leaves it.
#include "base/system_messages.h"

#include <algorithm>
#include <iterator>

namespace velmora::platform {

namespace {

struct SystemMessage {
  uint32_t code;
  const char* english;
  const char* chinese;
};

#define MSG(code, english, chinese) {code, english "\r\n", chinese "\r\n"}

// Ascending by code (checked at compile time below): Win32 codes, then the
// HRESULT facilities in order. HRESULT_FROM_WIN32 values are not listed: they
// resolve to their Win32 row.
constexpr SystemMessage kMessages[] = {
    // ---- Win32 (FACILITY_WIN32 codes, as GetLastError gives them) ----
    MSG(0, "The operation completed successfully.", "作業順利完成。"),  // ERROR_SUCCESS
    MSG(1, "Incorrect function.", "不正確的函數。"),  // ERROR_INVALID_FUNCTION
    MSG(2, "The system cannot find the file specified.", "系統找不到指定的檔案。"),  // ERROR_FILE_NOT_FOUND
    MSG(3, "The system cannot find the path specified.", "系統找不到指定的路徑。"),  // ERROR_PATH_NOT_FOUND
    MSG(4, "The system cannot open the file.", "系統無法開啟檔案。"),  // ERROR_TOO_MANY_OPEN_FILES
    MSG(5, "Access is denied.", "存取被拒。"),  // ERROR_ACCESS_DENIED
    MSG(6, "The handle is invalid.", "無效的控制代碼。"),  // ERROR_INVALID_HANDLE
    MSG(7, "The storage control blocks were destroyed.", "儲存體控制區塊已損毀。"),  // ERROR_ARENA_TRASHED
    MSG(8, "Not enough memory resources are available to process this command.",
        "沒有足夠的記憶體資源可處理此命令。"),  // ERROR_NOT_ENOUGH_MEMORY
    MSG(10, "The environment is incorrect.", "環境不正確。"),  // ERROR_BAD_ENVIRONMENT
    MSG(11, "An attempt was made to load a program with an incorrect format.",
        "嘗試載入格式不正確的程式。"),  // ERROR_BAD_FORMAT
    MSG(12, "The access code is invalid.", "存取碼無效。"),  // ERROR_INVALID_ACCESS
    MSG(13, "The data is invalid.", "資料無效。"),  // ERROR_INVALID_DATA
    MSG(14, "Not enough memory resources are available to complete this operation.",
        "沒有足夠的記憶體資源可完成此操作。"),  // ERROR_OUTOFMEMORY
    MSG(15, "The system cannot find the drive specified.", "系統找不到指定的磁碟機。"),  // ERROR_INVALID_DRIVE
    MSG(16, "The directory cannot be removed.", "無法移除目錄。"),  // ERROR_CURRENT_DIRECTORY
    MSG(17, "The system cannot move the file to a different disk drive.",
        "系統無法將檔案移到不同的磁碟機。"),  // ERROR_NOT_SAME_DEVICE
    MSG(18, "There are no more files.", "沒有其他檔案。"),  // ERROR_NO_MORE_FILES
    MSG(19, "The media is write protected.", "媒體有防寫保護。"),  // ERROR_WRITE_PROTECT
    MSG(20, "The system cannot find the device specified.", "系統找不到指定的裝置。"),  // ERROR_BAD_UNIT
    MSG(21, "The device is not ready.", "裝置尚未就緒。"),  // ERROR_NOT_READY
    MSG(22, "The device does not recognize the command.", "裝置無法辨識此命令。"),  // ERROR_BAD_COMMAND
    MSG(23, "Data error (cyclic redundancy check).", "資料錯誤 (循環冗餘檢查)。"),  // ERROR_CRC
    MSG(24, "The program issued a command but the command length is incorrect.",
        "程式發出了命令，但命令長度不正確。"),  // ERROR_BAD_LENGTH
    MSG(25, "The drive cannot locate a specific area or track on the disk.",
        "磁碟機找不到磁碟上的特定區域或磁軌。"),  // ERROR_SEEK
    MSG(26, "The specified disk or diskette cannot be accessed.", "無法存取指定的磁碟或磁片。"),  // ERROR_NOT_DOS_DISK
    MSG(27, "The drive cannot find the sector requested.", "磁碟機找不到要求的磁區。"),  // ERROR_SECTOR_NOT_FOUND
    MSG(29, "The system cannot write to the specified device.", "系統無法寫入指定的裝置。"),  // ERROR_WRITE_FAULT
    MSG(30, "The system cannot read from the specified device.", "系統無法從指定的裝置讀取。"),  // ERROR_READ_FAULT
    MSG(31, "A device attached to the system is not functioning.", "連接到系統的裝置無法運作。"),  // ERROR_GEN_FAILURE
    MSG(32, "The process cannot access the file because it is being used by another process.",
        "程序無法存取檔案，因為檔案正由另一個程序使用。"),  // ERROR_SHARING_VIOLATION
    MSG(33, "The process cannot access the file because another process has locked a portion of the file.",
        "程序無法存取檔案，因為另一個程序已鎖定檔案的一部分。"),  // ERROR_LOCK_VIOLATION
    MSG(36, "Too many files opened for sharing.", "開啟共用的檔案過多。"),  // ERROR_SHARING_BUFFER_EXCEEDED
    MSG(38, "Reached the end of the file.", "已到達檔案結尾。"),  // ERROR_HANDLE_EOF
    MSG(39, "The disk is full.", "磁碟已滿。"),  // ERROR_HANDLE_DISK_FULL
    MSG(50, "The request is not supported.", "不支援此要求。"),  // ERROR_NOT_SUPPORTED
    MSG(53, "The network path was not found.", "找不到網路路徑。"),  // ERROR_BAD_NETPATH
    MSG(54, "The network is busy.", "網路忙碌中。"),  // ERROR_NETWORK_BUSY
    MSG(55, "The specified network resource or device is no longer available.",
        "指定的網路資源或裝置已無法使用。"),  // ERROR_DEV_NOT_EXIST
    MSG(59, "An unexpected network error occurred.", "發生未預期的網路錯誤。"),  // ERROR_UNEXP_NET_ERR
    MSG(64, "The specified network name is no longer available.", "指定的網路名稱已無法使用。"),  // ERROR_NETNAME_DELETED
    MSG(65, "Network access is denied.", "網路存取被拒。"),  // ERROR_NETWORK_ACCESS_DENIED
    MSG(67, "The network name cannot be found.", "找不到網路名稱。"),  // ERROR_BAD_NET_NAME
    MSG(80, "The file exists.", "檔案已存在。"),  // ERROR_FILE_EXISTS
    MSG(82, "The directory or file cannot be created.", "無法建立目錄或檔案。"),  // ERROR_CANNOT_MAKE
    MSG(86, "The specified network password is not correct.", "指定的網路密碼不正確。"),  // ERROR_INVALID_PASSWORD
    MSG(87, "The parameter is incorrect.", "參數不正確。"),  // ERROR_INVALID_PARAMETER
    MSG(109, "The pipe has been ended.", "管道已經結束。"),  // ERROR_BROKEN_PIPE
    MSG(110, "The system cannot open the device or file specified.", "系統無法開啟指定的裝置或檔案。"),  // ERROR_OPEN_FAILED
    MSG(111, "The file name is too long.", "檔案名稱太長。"),  // ERROR_BUFFER_OVERFLOW
    MSG(112, "There is not enough space on the disk.", "磁碟空間不足。"),  // ERROR_DISK_FULL
    MSG(120, "This function is not supported on this system.", "此系統不支援此函數。"),  // ERROR_CALL_NOT_IMPLEMENTED
    MSG(122, "The data area passed to a system call is too small.",
        "傳遞給系統呼叫的資料區域太小。"),  // ERROR_INSUFFICIENT_BUFFER
    MSG(123, "The filename, directory name, or volume label syntax is incorrect.",
        "檔案名稱、目錄名稱或磁碟區標籤語法不正確。"),  // ERROR_INVALID_NAME
    MSG(126, "The specified module could not be found.", "找不到指定的模組。"),  // ERROR_MOD_NOT_FOUND
    MSG(127, "The specified procedure could not be found.", "找不到指定的程序。"),  // ERROR_PROC_NOT_FOUND
    MSG(145, "The directory is not empty.", "目錄不是空的。"),  // ERROR_DIR_NOT_EMPTY
    MSG(158, "The segment is already unlocked.", "區段已經解除鎖定。"),  // ERROR_NOT_LOCKED
    MSG(161, "The specified path is invalid.", "指定的路徑無效。"),  // ERROR_BAD_PATHNAME
    MSG(170, "The requested resource is in use.", "要求的資源正在使用中。"),  // ERROR_BUSY
    MSG(183, "Cannot create a file when that file already exists.",
        "當檔案已存在時，無法建立該檔案。"),  // ERROR_ALREADY_EXISTS
    MSG(193, "%1 is not a valid Win32 application.", "%1 不是有效的 Win32 應用程式。"),  // ERROR_BAD_EXE_FORMAT
    MSG(203, "The system could not find the environment option that was entered.",
        "系統找不到輸入的環境選項。"),  // ERROR_ENVVAR_NOT_FOUND
    MSG(206, "The filename or extension is too long.", "檔案名稱或副檔名太長。"),  // ERROR_FILENAME_EXCED_RANGE
    MSG(232, "The pipe is being closed.", "管道正在關閉。"),  // ERROR_NO_DATA
    MSG(234, "More data is available.", "還有更多資料可用。"),  // ERROR_MORE_DATA
    MSG(258, "The wait operation timed out.", "等候操作逾時。"),  // WAIT_TIMEOUT
    MSG(259, "No more data is available.", "沒有更多資料可用。"),  // ERROR_NO_MORE_ITEMS
    MSG(266, "The copy functions cannot be used.", "無法使用複製函數。"),  // ERROR_CANNOT_COPY
    MSG(267, "The directory name is invalid.", "目錄名稱無效。"),  // ERROR_DIRECTORY
    MSG(288, "Attempt to release mutex not owned by caller.", "嘗試釋放不屬於呼叫者的 Mutex。"),  // ERROR_NOT_OWNER
    MSG(298, "Too many posts were made to a semaphore.", "對 Semaphore 發出太多次信號。"),  // ERROR_TOO_MANY_POSTS
    MSG(299, "Only part of a ReadProcessMemory or WriteProcessMemory request was completed.",
        "ReadProcessMemory 或 WriteProcessMemory 要求只完成了一部分。"),  // ERROR_PARTIAL_COPY
    MSG(317, "The system cannot find message text for message number 0x%1 in the message file for %2.",
        "系統在 %2 的訊息檔中找不到訊息編號 0x%1 的訊息文字。"),  // ERROR_MR_MID_NOT_FOUND
    MSG(487, "Attempt to access invalid address.", "嘗試存取無效的位址。"),  // ERROR_INVALID_ADDRESS
    MSG(534, "Arithmetic result exceeded 32 bits.", "算術結果超過 32 位元。"),  // ERROR_ARITHMETIC_OVERFLOW
    MSG(995, "The I/O operation has been aborted because of either a thread exit or an application request.",
        "由於執行緒結束或應用程式要求，已中止 I/O 操作。"),  // ERROR_OPERATION_ABORTED
    MSG(996, "Overlapped I/O event is not in a signaled state.",
        "重疊的 I/O 事件不是處於已發出信號的狀態。"),  // ERROR_IO_INCOMPLETE
    MSG(997, "Overlapped I/O operation is in progress.", "重疊的 I/O 操作正在進行中。"),  // ERROR_IO_PENDING
    MSG(998, "Invalid access to memory location.", "記憶體位置的存取無效。"),  // ERROR_NOACCESS
    MSG(1001, "Recursion too deep; the stack overflowed.", "遞迴太深；堆疊溢位。"),  // ERROR_STACK_OVERFLOW
    MSG(1004, "Invalid flags.", "無效的旗標。"),  // ERROR_INVALID_FLAGS
    MSG(1006, "The volume for a file has been externally altered so that the opened file is no longer valid.",
        "檔案所在的磁碟區已被外部改變，因此開啟的檔案已不再有效。"),  // ERROR_FILE_INVALID
    MSG(1008, "An attempt was made to reference a token that does not exist.",
        "嘗試參照不存在的權杖。"),  // ERROR_NO_TOKEN
    MSG(1009, "The configuration registry database is corrupt.", "設定登錄資料庫已損毀。"),  // ERROR_BADDB
    MSG(1010, "The configuration registry key is invalid.", "設定登錄機碼無效。"),  // ERROR_BADKEY
    MSG(1011, "The configuration registry key could not be opened.", "無法開啟設定登錄機碼。"),  // ERROR_CANTOPEN
    MSG(1012, "The configuration registry key could not be read.", "無法讀取設定登錄機碼。"),  // ERROR_CANTREAD
    MSG(1013, "The configuration registry key could not be written.", "無法寫入設定登錄機碼。"),  // ERROR_CANTWRITE
    MSG(1014,
        "One of the files in the registry database had to be recovered by use of a log or alternate copy. The "
        "recovery was successful.",
        "登錄資料庫中有一個檔案必須使用記錄檔或替代複本來復原。復原成功。"),  // ERROR_REGISTRY_RECOVERED
    MSG(1015,
        "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or "
        "the system's memory image of the file is corrupted, or the file could not be recovered because the "
        "alternate copy or log was absent or corrupted.",
        "登錄已損毀。包含登錄資料的其中一個檔案結構已損毀，或系統記憶體中該檔案的映像已損毀，或因替代複本或記錄檔"
        "不存在或已損毀而無法復原該檔案。"),  // ERROR_REGISTRY_CORRUPT
    MSG(1016,
        "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write "
        "out, or flush, one of the files that contain the system's image of the registry.",
        "由登錄起始的 I/O 操作發生無法復原的失敗。登錄無法讀入、寫出或排清包含系統登錄映像的其中一個檔案。"),  // ERROR_REGISTRY_IO_FAILED
    MSG(1017,
        "The system has attempted to load or restore a file into the registry, but the specified file is not in a "
        "registry file format.",
        "系統嘗試將檔案載入或還原到登錄中，但指定的檔案不是登錄檔案格式。"),  // ERROR_NOT_REGISTRY_FILE
    MSG(1018, "Illegal operation attempted on a registry key that has been marked for deletion.",
        "嘗試在已標示為刪除的登錄機碼上執行不合法的操作。"),  // ERROR_KEY_DELETED
    MSG(1019, "System could not allocate the required space in a registry log.",
        "系統無法在登錄記錄檔中配置所需的空間。"),  // ERROR_NO_LOG_SPACE
    MSG(1020, "Cannot create a symbolic link in a registry key that already has subkeys or values.",
        "無法在已有子機碼或值的登錄機碼中建立符號連結。"),  // ERROR_KEY_HAS_CHILDREN
    MSG(1021, "Cannot create a stable subkey under a volatile parent key.",
        "無法在暫時性的父機碼下建立穩定的子機碼。"),  // ERROR_CHILD_MUST_BE_VOLATILE
    MSG(1060, "The specified service does not exist as an installed service.",
        "指定的服務並非已安裝的服務。"),  // ERROR_SERVICE_DOES_NOT_EXIST
    MSG(1113, "No mapping for the Unicode character exists in the target multi-byte code page.",
        "目標多位元組字碼頁中沒有此 Unicode 字元的對應。"),  // ERROR_NO_UNICODE_TRANSLATION
    MSG(1132, "The base address or the file offset specified does not have the proper alignment.",
        "指定的基底位址或檔案位移沒有適當的對齊。"),  // ERROR_MAPPED_ALIGNMENT
    MSG(1155, "No application is associated with the specified file for this operation.",
        "沒有任何應用程式與此操作的指定檔案相關聯。"),  // ERROR_NO_ASSOCIATION
    MSG(1168, "Element not found.", "找不到元素。"),  // ERROR_NOT_FOUND
    MSG(1169, "There was no match for the specified key in the index.",
        "索引中沒有符合指定索引鍵的項目。"),  // ERROR_NO_MATCH
    MSG(1170, "The property set specified does not exist on the object.",
        "物件上沒有指定的屬性集。"),  // ERROR_SET_NOT_FOUND
    MSG(1223, "The operation was canceled by the user.", "使用者已取消操作。"),  // ERROR_CANCELLED
    MSG(1314, "A required privilege is not held by the client.", "用戶端並未持有必要的權限。"),  // ERROR_PRIVILEGE_NOT_HELD
    MSG(1326, "The user name or password is incorrect.", "使用者名稱或密碼不正確。"),  // ERROR_LOGON_FAILURE
    MSG(1359, "An internal error occurred.", "發生內部錯誤。"),  // ERROR_INTERNAL_ERROR
    MSG(1392, "The file or directory is corrupted and unreadable.", "檔案或目錄已損毀且無法讀取。"),  // ERROR_FILE_CORRUPT
    MSG(1400, "Invalid window handle.", "無效的視窗控制代碼。"),  // ERROR_INVALID_WINDOW_HANDLE
    MSG(1438, "Invalid message box style.", "無效的訊息方塊樣式。"),  // ERROR_INVALID_MSGBOX_STYLE
    MSG(1450, "Insufficient system resources exist to complete the requested service.",
        "系統資源不足，無法完成所要求的服務。"),  // ERROR_NO_SYSTEM_RESOURCES
    MSG(1460, "This operation returned because the timeout period expired.",
        "此操作因逾時期限已過而傳回。"),  // ERROR_TIMEOUT
    MSG(1722, "The RPC server is unavailable.", "無法使用 RPC 伺服器。"),  // RPC_S_SERVER_UNAVAILABLE
    MSG(1812, "The specified image file did not contain a resource section.",
        "指定的映像檔不包含資源區段。"),  // ERROR_RESOURCE_DATA_NOT_FOUND
    MSG(1813, "The specified resource type cannot be found in the image file.",
        "在映像檔中找不到指定的資源類型。"),  // ERROR_RESOURCE_TYPE_NOT_FOUND
    MSG(1814, "The specified resource name cannot be found in the image file.",
        "在映像檔中找不到指定的資源名稱。"),  // ERROR_RESOURCE_NAME_NOT_FOUND
    MSG(1815, "The specified resource language ID cannot be found in the image file.",
        "在映像檔中找不到指定的資源語言識別碼。"),  // ERROR_RESOURCE_LANG_NOT_FOUND
    MSG(4312, "The object identifier does not represent a valid object.", "物件識別碼不代表有效的物件。"),  // ERROR_OBJECT_NOT_FOUND
    MSG(15100, "The resource loader failed to find MUI file.", "資源載入器找不到 MUI 檔案。"),  // ERROR_MUI_FILE_NOT_FOUND

    // ---- FACILITY_NULL / FACILITY_ITF generic HRESULTs (E_*) ----
    MSG(0x8000000A, "The data necessary to complete this operation is not yet available.",
        "完成此操作所需的資料尚無法使用。"),  // E_PENDING
    MSG(0x8000000E, "A method was called at an unexpected time.", "在未預期的時間呼叫了方法。"),  // E_ILLEGAL_METHOD_CALL
    MSG(0x80004001, "Not implemented", "沒有實作"),  // E_NOTIMPL
    MSG(0x80004002, "No such interface supported", "不支援此介面"),  // E_NOINTERFACE
    MSG(0x80004003, "Invalid pointer", "無效的指標"),  // E_POINTER
    MSG(0x80004004, "Operation aborted", "作業已中止"),  // E_ABORT
    MSG(0x80004005, "Unspecified error", "未指定的錯誤"),  // E_FAIL
    MSG(0x8000FFFF, "Catastrophic failure", "嚴重失敗"),  // E_UNEXPECTED

    // ---- FACILITY_RPC ----
    MSG(0x80010106, "Cannot change thread mode after it is set.", "設定執行緒模式之後即無法變更。"),  // RPC_E_CHANGED_MODE
    MSG(0x80010108, "The object invoked has disconnected from its clients.",
        "叫用的物件已經與其用戶端中斷連線。"),  // RPC_E_DISCONNECTED

    // ---- FACILITY_DISPATCH (DISP_E_*, TYPE_E_*) ----
    MSG(0x80020001, "Unknown interface.", "未知的介面。"),  // DISP_E_UNKNOWNINTERFACE
    MSG(0x80020003, "Member not found.", "找不到成員。"),  // DISP_E_MEMBERNOTFOUND
    MSG(0x80020004, "Parameter not found.", "找不到參數。"),  // DISP_E_PARAMNOTFOUND
    MSG(0x80020005, "Type mismatch.", "類型不符。"),  // DISP_E_TYPEMISMATCH
    MSG(0x80020006, "Unknown name.", "未知的名稱。"),  // DISP_E_UNKNOWNNAME
    MSG(0x80020007, "No named arguments.", "沒有具名引數。"),  // DISP_E_NONAMEDARGS
    MSG(0x80020008, "Bad variable type.", "錯誤的變數類型。"),  // DISP_E_BADVARTYPE
    MSG(0x80020009, "Exception occurred.", "發生例外狀況。"),  // DISP_E_EXCEPTION
    MSG(0x8002000A, "Out of present range.", "超出目前範圍。"),  // DISP_E_OVERFLOW
    MSG(0x8002000B, "Invalid index.", "無效的索引。"),  // DISP_E_BADINDEX
    MSG(0x8002000C, "Unknown language.", "未知的語言。"),  // DISP_E_UNKNOWNLCID
    MSG(0x8002000D, "Memory is locked.", "記憶體已鎖定。"),  // DISP_E_ARRAYISLOCKED
    MSG(0x8002000E, "Invalid number of parameters.", "參數數目無效。"),  // DISP_E_BADPARAMCOUNT
    MSG(0x8002000F, "Parameter not optional.", "參數不是選擇性的。"),  // DISP_E_PARAMNOTOPTIONAL
    MSG(0x80020010, "Invalid callee.", "無效的被呼叫端。"),  // DISP_E_BADCALLEE
    MSG(0x80020011, "Does not support a collection.", "不支援集合。"),  // DISP_E_NOTACOLLECTION
    MSG(0x80020012, "Division by zero.", "除數為零。"),  // DISP_E_DIVBYZERO
    MSG(0x80020013, "Buffer too small", "緩衝區太小"),  // DISP_E_BUFFERTOOSMALL
    MSG(0x8002801C, "Error accessing the OLE registry.", "存取 OLE 登錄時發生錯誤。"),  // TYPE_E_REGISTRYACCESS
    MSG(0x8002801D, "Library not registered.", "程式庫未登錄。"),  // TYPE_E_LIBNOTREGISTERED
    MSG(0x8002802B, "Element not found.", "找不到元素。"),  // TYPE_E_ELEMENTNOTFOUND
    MSG(0x80029C4A, "Error loading type library/DLL.", "載入類型程式庫/DLL 時發生錯誤。"),  // TYPE_E_CANTLOADLIBRARY

    // ---- FACILITY_ITF: class factories and registration ----
    MSG(0x80040110, "Class does not support aggregation (or class object is remote)",
        "類別不支援彙總 (或類別物件在遠端)"),  // CLASS_E_NOAGGREGATION
    MSG(0x80040111, "ClassFactory cannot supply requested class",
        "ClassFactory 無法提供要求的類別"),  // CLASS_E_CLASSNOTAVAILABLE
    MSG(0x80040112, "Class is not licensed for use", "類別未獲授權使用"),  // CLASS_E_NOTLICENSED
    MSG(0x80040150, "Could not read key from registry", "無法從登錄讀取機碼"),  // REGDB_E_READREGDB
    MSG(0x80040151, "Could not write key to registry", "無法將機碼寫入登錄"),  // REGDB_E_WRITEREGDB
    MSG(0x80040152, "Could not find the key in the registry", "在登錄中找不到機碼"),  // REGDB_E_KEYMISSING
    MSG(0x80040153, "Invalid value for registry", "登錄的值無效"),  // REGDB_E_INVALIDVALUE
    MSG(0x80040154, "Class not registered", "類別未登錄"),  // REGDB_E_CLASSNOTREG
    MSG(0x800401F0, "CoInitialize has not been called.", "尚未呼叫 CoInitialize。"),  // CO_E_NOTINITIALIZED
    MSG(0x800401F3, "Invalid class string", "無效的類別字串"),  // CO_E_CLASSSTRING
    MSG(0x800401F8, "DLL for class not found", "找不到類別的 DLL"),  // CO_E_DLLNOTFOUND
    MSG(0x800401F9, "Error in the DLL", "DLL 發生錯誤"),  // CO_E_ERRORINDLL
    MSG(0x80040200, "The server could not register its type library", "伺服器無法登錄其類型程式庫"),  // SELFREG_E_TYPELIB
    MSG(0x80040201, "The server could not register its classes", "伺服器無法登錄其類別"),  // SELFREG_E_CLASS
    MSG(0x80080005, "Server execution failed", "伺服器執行失敗"),  // CO_E_SERVER_EXEC_FAILURE

    // ---- FACILITY_SSPI: CryptoAPI providers (NTE_*) ----
    MSG(0x80090001, "Bad UID.", "錯誤的 UID。"),  // NTE_BAD_UID
    MSG(0x80090002, "Bad Hash.", "錯誤的雜湊。"),  // NTE_BAD_HASH
    MSG(0x80090003, "Bad Key.", "錯誤的金鑰。"),  // NTE_BAD_KEY
    MSG(0x80090004, "Bad Length.", "錯誤的長度。"),  // NTE_BAD_LEN
    MSG(0x80090005, "Bad Data.", "錯誤的資料。"),  // NTE_BAD_DATA
    MSG(0x80090006, "Invalid Signature.", "無效的簽章。"),  // NTE_BAD_SIGNATURE
    MSG(0x80090007, "Bad Version of provider.", "錯誤的提供者版本。"),  // NTE_BAD_VER
    MSG(0x80090008, "Invalid algorithm specified.", "指定了無效的演算法。"),  // NTE_BAD_ALGID
    MSG(0x80090009, "Invalid flags specified.", "指定了無效的旗標。"),  // NTE_BAD_FLAGS
    MSG(0x8009000A, "Invalid type specified.", "指定了無效的類型。"),  // NTE_BAD_TYPE
    MSG(0x8009000B, "Key not valid for use in specified state.", "金鑰在指定的狀態下無法使用。"),  // NTE_BAD_KEY_STATE
    MSG(0x8009000C, "Hash not valid for use in specified state.", "雜湊在指定的狀態下無法使用。"),  // NTE_BAD_HASH_STATE
    MSG(0x8009000D, "Key does not exist.", "金鑰不存在。"),  // NTE_NO_KEY
    MSG(0x8009000E, "Insufficient memory available for the operation.", "記憶體不足，無法進行此操作。"),  // NTE_NO_MEMORY
    MSG(0x8009000F, "Object already exists.", "物件已存在。"),  // NTE_EXISTS
    MSG(0x80090010, "Access denied.", "存取被拒。"),  // NTE_PERM
    MSG(0x80090011, "Object was not found.", "找不到物件。"),  // NTE_NOT_FOUND
    MSG(0x80090012, "Data already encrypted.", "資料已加密。"),  // NTE_DOUBLE_ENCRYPT
    MSG(0x80090013, "Invalid provider specified.", "指定了無效的提供者。"),  // NTE_BAD_PROVIDER
    MSG(0x80090014, "Invalid provider type specified.", "指定了無效的提供者類型。"),  // NTE_BAD_PROV_TYPE
    MSG(0x80090015, "Provider's public key is invalid.", "提供者的公開金鑰無效。"),  // NTE_BAD_PUBLIC_KEY
    MSG(0x80090016, "Keyset does not exist", "金鑰組不存在"),  // NTE_BAD_KEYSET
    MSG(0x80090017, "Provider type not defined.", "未定義提供者類型。"),  // NTE_PROV_TYPE_NOT_DEF
    MSG(0x80090018, "Provider type as registered is invalid.", "登錄的提供者類型無效。"),  // NTE_PROV_TYPE_ENTRY_BAD
    MSG(0x80090019, "The keyset is not defined.", "未定義金鑰組。"),  // NTE_KEYSET_NOT_DEF
    MSG(0x8009001A, "Keyset as registered is invalid.", "登錄的金鑰組無效。"),  // NTE_KEYSET_ENTRY_BAD
    MSG(0x8009001B, "Provider type does not match registered value.",
        "提供者類型與登錄的值不符。"),  // NTE_PROV_TYPE_NO_MATCH
    MSG(0x8009001C, "The digital signature file is corrupt.", "數位簽章檔案已損毀。"),  // NTE_SIGNATURE_FILE_BAD
    MSG(0x8009001D, "Provider DLL failed to initialize correctly.", "提供者 DLL 無法正確初始化。"),  // NTE_PROVIDER_DLL_FAIL
    MSG(0x8009001E, "Provider DLL could not be found.", "找不到提供者 DLL。"),  // NTE_PROV_DLL_NOT_FOUND
    MSG(0x8009001F, "The Keyset parameter is invalid.", "金鑰組參數無效。"),  // NTE_BAD_KEYSET_PARAM
    MSG(0x80090020, "An internal error occurred.", "發生內部錯誤。"),  // NTE_FAIL
    MSG(0x80090021, "A base error occurred.", "發生基本錯誤。"),  // NTE_SYS_ERR
    MSG(0x80090022, "Provider could not perform the action since the context was acquired as silent.",
        "由於內容是以無訊息模式取得，提供者無法執行此動作。"),  // NTE_SILENT_CONTEXT
    MSG(0x80090023, "The security token does not have storage space available for an additional container.",
        "安全性權杖沒有可供其他容器使用的儲存空間。"),  // NTE_TOKEN_KEYSET_STORAGE_FULL
    MSG(0x80090024, "The profile for the user is a temporary profile.", "使用者的設定檔是暫時設定檔。"),  // NTE_TEMPORARY_PROFILE
    MSG(0x80090025, "The key parameters could not be set because the CSP uses fixed parameters.",
        "由於 CSP 使用固定參數，因此無法設定金鑰參數。"),  // NTE_FIXEDPARAMETER
    MSG(0x80090026, "The supplied handle is invalid.", "提供的控制代碼無效。"),  // NTE_INVALID_HANDLE
    MSG(0x80090027, "The parameter is incorrect.", "參數不正確。"),  // NTE_INVALID_PARAMETER
    MSG(0x80090028, "The buffer supplied to a function was too small.", "提供給函數的緩衝區太小。"),  // NTE_BUFFER_TOO_SMALL
    MSG(0x80090029, "The requested operation is not supported.", "不支援所要求的操作。"),  // NTE_NOT_SUPPORTED
    MSG(0x8009002A, "No more data is available.", "沒有更多資料可用。"),  // NTE_NO_MORE_ITEMS
    MSG(0x8009002B, "The supplied buffers overlap incorrectly.", "提供的緩衝區重疊不正確。"),  // NTE_BUFFERS_OVERLAP
    MSG(0x8009002C, "The specified data could not be decrypted.", "無法解密指定的資料。"),  // NTE_DECRYPTION_FAILURE
    MSG(0x8009002D, "An internal consistency check failed.", "內部一致性檢查失敗。"),  // NTE_INTERNAL_ERROR
    MSG(0x8009002E, "This operation requires input from the user.", "此操作需要使用者輸入。"),  // NTE_UI_REQUIRED
    MSG(0x8009002F, "The cryptographic provider does not support HMAC.",
        "密碼編譯提供者不支援 HMAC。"),  // NTE_HMAC_NOT_SUPPORTED
    MSG(0x80090030, "The device that is required by this cryptographic provider is not ready for use.",
        "此密碼編譯提供者所需的裝置尚未就緒。"),  // NTE_DEVICE_NOT_READY
    MSG(0x80090031,
        "The dictionary attack mitigation is triggered and the provided authorization was ignored by the provider.",
        "已觸發字典攻擊防護，提供者已忽略所提供的授權。"),  // NTE_AUTHENTICATION_IGNORED
    MSG(0x80090032, "The validation of the provided data failed the integrity or signature validation.",
        "所提供的資料未通過完整性或簽章驗證。"),  // NTE_VALIDATION_FAILED
    MSG(0x80090033, "Incorrect password.", "密碼不正確。"),  // NTE_INCORRECT_PASSWORD
    MSG(0x80090034, "Encryption failed.", "加密失敗。"),  // NTE_ENCRYPTION_FAILURE
    MSG(0x80090035, "The device that is required by this cryptographic provider is not found on this platform.",
        "在此平台上找不到此密碼編譯提供者所需的裝置。"),  // NTE_DEVICE_NOT_FOUND

    // ---- cryptographic messages (CRYPT_E_*) ----
    MSG(0x80091001, "An error occurred while performing an operation on a cryptographic message.",
        "在密碼編譯訊息上執行操作時發生錯誤。"),  // CRYPT_E_MSG_ERROR
    MSG(0x80091002, "Unknown cryptographic algorithm.", "未知的密碼編譯演算法。"),  // CRYPT_E_UNKNOWN_ALGO
    MSG(0x80091003, "The object identifier is poorly formatted.", "物件識別碼的格式不正確。"),  // CRYPT_E_OID_FORMAT
    MSG(0x80091004, "Invalid cryptographic message type.", "無效的密碼編譯訊息類型。"),  // CRYPT_E_INVALID_MSG_TYPE
    MSG(0x80091005, "Unexpected cryptographic message encoding.",
        "未預期的密碼編譯訊息編碼。"),  // CRYPT_E_UNEXPECTED_ENCODING
    MSG(0x80091006, "The cryptographic message does not contain an expected authenticated attribute.",
        "密碼編譯訊息未包含預期的已驗證屬性。"),  // CRYPT_E_AUTH_ATTR_MISSING
    MSG(0x80091007, "The hash value is not correct.", "雜湊值不正確。"),  // CRYPT_E_HASH_VALUE
    MSG(0x80091008, "The index value is not valid.", "索引值無效。"),  // CRYPT_E_INVALID_INDEX
    MSG(0x80091009, "The content of the cryptographic message has already been decrypted.",
        "密碼編譯訊息的內容已經解密。"),  // CRYPT_E_ALREADY_DECRYPTED
    MSG(0x8009100A, "The content of the cryptographic message has not been decrypted yet.",
        "密碼編譯訊息的內容尚未解密。"),  // CRYPT_E_NOT_DECRYPTED
    MSG(0x8009100B, "The enveloped-data message does not contain the specified recipient.",
        "封裝資料訊息未包含指定的收件者。"),  // CRYPT_E_RECIPIENT_NOT_FOUND
    MSG(0x8009100C, "Invalid control type.", "無效的控制類型。"),  // CRYPT_E_CONTROL_TYPE
    MSG(0x8009100D, "Invalid issuer and/or serial number.", "無效的簽發者及/或序號。"),  // CRYPT_E_ISSUER_SERIALNUMBER
    MSG(0x8009100E, "Cannot find the original signer.", "找不到原始簽署者。"),  // CRYPT_E_SIGNER_NOT_FOUND
    MSG(0x8009100F, "The cryptographic message does not contain all of the requested attributes.",
        "密碼編譯訊息未包含所有要求的屬性。"),  // CRYPT_E_ATTRIBUTES_MISSING
    MSG(0x80091010, "The streamed cryptographic message is not ready to return data.",
        "串流的密碼編譯訊息尚未準備好傳回資料。"),  // CRYPT_E_STREAM_MSG_NOT_READY
    MSG(0x80091011, "The streamed cryptographic message requires more data to complete the decode operation.",
        "串流的密碼編譯訊息需要更多資料才能完成解碼操作。"),  // CRYPT_E_STREAM_INSUFFICIENT_DATA
    MSG(0x80092001, "The length specified for the output data was insufficient.",
        "為輸出資料指定的長度不足。"),  // CRYPT_E_BAD_LEN
    MSG(0x80092002, "An error occurred during encode or decode operation.",
        "編碼或解碼操作時發生錯誤。"),  // CRYPT_E_BAD_ENCODE
    MSG(0x80092003, "An error occurred while reading or writing to a file.",
        "讀取或寫入檔案時發生錯誤。"),  // CRYPT_E_FILE_ERROR
    MSG(0x80092004, "Cannot find object or property.", "找不到物件或屬性。"),  // CRYPT_E_NOT_FOUND
    MSG(0x80092005, "The object or property already exists.", "物件或屬性已存在。"),  // CRYPT_E_EXISTS
    MSG(0x80092006, "No provider was specified for the store or object.",
        "沒有為存放區或物件指定提供者。"),  // CRYPT_E_NO_PROVIDER
    MSG(0x80092007, "The specified certificate is self signed.", "指定的憑證是自我簽署的。"),  // CRYPT_E_SELF_SIGNED
    MSG(0x80092008, "The previous certificate or CRL context was deleted.",
        "先前的憑證或 CRL 內容已被刪除。"),  // CRYPT_E_DELETED_PREV
    MSG(0x80092009, "Cannot find the requested object.", "找不到要求的物件。"),  // CRYPT_E_NO_MATCH
    // Windows' own texts for 0x8009200A-0x8009200C read as listed here.
    MSG(0x8009200A, "The certificate does not have a property that references a private key.",
        "憑證沒有參照私密金鑰的屬性。"),  // CRYPT_E_UNEXPECTED_MSG_TYPE
    MSG(0x8009200B, "Cannot find the certificate and private key for decryption.",
        "找不到用於解密的憑證及私密金鑰。"),  // CRYPT_E_NO_KEY_PROPERTY
    MSG(0x8009200C, "Cannot find the certificate and private key to use for decryption.",
        "找不到要用於解密的憑證及私密金鑰。"),  // CRYPT_E_NO_DECRYPT_CERT
    MSG(0x8009200D, "Not a cryptographic message or the cryptographic message is not formatted correctly.",
        "不是密碼編譯訊息，或密碼編譯訊息的格式不正確。"),  // CRYPT_E_BAD_MSG
    MSG(0x8009200E, "The signed cryptographic message does not have a signer for the specified signer index.",
        "已簽署的密碼編譯訊息沒有指定簽署者索引的簽署者。"),  // CRYPT_E_NO_SIGNER
    MSG(0x8009200F, "Final closure is pending until additional frees or closes.",
        "最終的關閉作業將暫緩，直到其他項目釋放或關閉為止。"),  // CRYPT_E_PENDING_CLOSE
    MSG(0x80092010, "The certificate is revoked.", "憑證已撤銷。"),  // CRYPT_E_REVOKED
    MSG(0x80092011, "No Dll or exported function was found to verify revocation.",
        "找不到可驗證撤銷狀態的 DLL 或匯出函數。"),  // CRYPT_E_NO_REVOCATION_DLL
    MSG(0x80092012, "The revocation function was unable to check revocation for the certificate.",
        "撤銷函數無法檢查憑證的撤銷狀態。"),  // CRYPT_E_NO_REVOCATION_CHECK
    MSG(0x80092013,
        "The revocation function was unable to check revocation because the revocation server was offline.",
        "撤銷伺服器已離線，因此撤銷函數無法檢查撤銷狀態。"),  // CRYPT_E_REVOCATION_OFFLINE
    MSG(0x80092014, "The certificate is not in the revocation server's database.",
        "憑證不在撤銷伺服器的資料庫中。"),  // CRYPT_E_NOT_IN_REVOCATION_DATABASE
    MSG(0x80092020, "The string contains a non-numeric character.", "字串包含非數字字元。"),  // CRYPT_E_INVALID_NUMERIC_STRING
    MSG(0x80092021, "The string contains a non-printable character.",
        "字串包含無法列印的字元。"),  // CRYPT_E_INVALID_PRINTABLE_STRING
    MSG(0x80092022, "The string contains a character not in the 7 bit ASCII character set.",
        "字串包含不在 7 位元 ASCII 字元集中的字元。"),  // CRYPT_E_INVALID_IA5_STRING
    MSG(0x80092023, "The string contains an invalid X500 name attribute key, oid, value or delimiter.",
        "字串包含無效的 X500 名稱屬性索引鍵、OID、值或分隔符號。"),  // CRYPT_E_INVALID_X500_STRING
    MSG(0x80092024,
        "The dwValueType for the CERT_NAME_VALUE is not one of the character strings.  Most likely it is either "
        "a CERT_RDN_ENCODED_BLOB or CERT_TDN_OCTED_STRING.",
        "CERT_NAME_VALUE 的 dwValueType 不是字元字串之一。很可能是 CERT_RDN_ENCODED_BLOB 或 "
        "CERT_RDN_OCTET_STRING。"),  // CRYPT_E_NOT_CHAR_STRING
    MSG(0x80092025,
        "The Put operation can not continue.  The file needs to be resized.  However, there is already a signature "
        "present.  A complete signing operation must be done.",
        "無法繼續 Put 操作。檔案需要調整大小，但已經有簽章存在。必須執行完整的簽署操作。"),  // CRYPT_E_FILERESIZED
    MSG(0x80092026, "The cryptographic operation failed due to a local security option setting.",
        "密碼編譯操作因本機安全性選項設定而失敗。"),  // CRYPT_E_SECURITY_SETTINGS
    MSG(0x80092027, "No DLL or exported function was found to verify subject usage.",
        "找不到可驗證主體用途的 DLL 或匯出函數。"),  // CRYPT_E_NO_VERIFY_USAGE_DLL
    MSG(0x80092028, "The called function was unable to do a usage check on the subject.",
        "呼叫的函數無法對主體進行用途檢查。"),  // CRYPT_E_NO_VERIFY_USAGE_CHECK
    MSG(0x80092029, "Since the server was offline, the called function was unable to complete the usage check.",
        "由於伺服器離線，呼叫的函數無法完成用途檢查。"),  // CRYPT_E_VERIFY_USAGE_OFFLINE
    MSG(0x8009202A, "The subject was not found in a Certificate Trust List (CTL).",
        "在憑證信任清單 (CTL) 中找不到主體。"),  // CRYPT_E_NOT_IN_CTL
    MSG(0x8009202B, "None of the signers of the cryptographic message or certificate trust list is trusted.",
        "密碼編譯訊息或憑證信任清單的簽署者都不受信任。"),  // CRYPT_E_NO_TRUSTED_SIGNER
    MSG(0x8009202C, "The public key's algorithm parameters are missing.",
        "缺少公開金鑰的演算法參數。"),  // CRYPT_E_MISSING_PUBKEY_PARA

    // ---- ASN.1 (CRYPT_E_ASN1_*) ----
    MSG(0x80093100, "ASN1 Certificate encode/decode error code base. The ASN1 error values are offset by "
        "CRYPT_E_ASN1_ERROR.",
        "ASN1 憑證編碼/解碼錯誤碼基底。ASN1 錯誤值以 CRYPT_E_ASN1_ERROR 為位移基準。"),  // CRYPT_E_ASN1_ERROR
    MSG(0x80093101, "ASN1 internal encode or decode error.", "ASN1 內部編碼或解碼錯誤。"),  // CRYPT_E_ASN1_INTERNAL
    MSG(0x80093102, "ASN1 unexpected end of data.", "ASN1 未預期的資料結尾。"),  // CRYPT_E_ASN1_EOD
    MSG(0x80093103, "ASN1 corrupted data.", "ASN1 資料已損毀。"),  // CRYPT_E_ASN1_CORRUPT
    MSG(0x80093104, "ASN1 value too large.", "ASN1 值太大。"),  // CRYPT_E_ASN1_LARGE
    MSG(0x80093105, "ASN1 constraint violated.", "違反 ASN1 條件約束。"),  // CRYPT_E_ASN1_CONSTRAINT
    MSG(0x80093106, "ASN1 out of memory.", "ASN1 記憶體不足。"),  // CRYPT_E_ASN1_MEMORY
    MSG(0x80093107, "ASN1 buffer overflow.", "ASN1 緩衝區溢位。"),  // CRYPT_E_ASN1_OVERFLOW
    MSG(0x80093108, "ASN1 function not supported for this PDU.", "此 PDU 不支援 ASN1 函數。"),  // CRYPT_E_ASN1_BADPDU
    MSG(0x80093109, "ASN1 bad arguments to function call.", "ASN1 函數呼叫的引數錯誤。"),  // CRYPT_E_ASN1_BADARGS
    MSG(0x8009310A, "ASN1 bad real value.", "ASN1 實數值錯誤。"),  // CRYPT_E_ASN1_BADREAL
    MSG(0x8009310B, "ASN1 bad tag value met.", "遇到錯誤的 ASN1 標籤值。"),  // CRYPT_E_ASN1_BADTAG
    MSG(0x8009310C, "ASN1 bad choice value.", "ASN1 選擇值錯誤。"),  // CRYPT_E_ASN1_CHOICE
    MSG(0x8009310D, "ASN1 bad encoding rule.", "ASN1 編碼規則錯誤。"),  // CRYPT_E_ASN1_RULE
    MSG(0x8009310E, "ASN1 bad unicode (UTF8).", "ASN1 Unicode (UTF8) 錯誤。"),  // CRYPT_E_ASN1_UTF8
    MSG(0x80093133, "ASN1 bad PDU type.", "ASN1 PDU 類型錯誤。"),  // CRYPT_E_ASN1_PDU_TYPE
    MSG(0x80093134, "ASN1 not yet implemented.", "ASN1 尚未實作。"),  // CRYPT_E_ASN1_NYI
    MSG(0x80093201, "ASN1 skipped unknown extension(s).", "ASN1 已略過未知的延伸。"),  // CRYPT_E_ASN1_EXTENDED
    MSG(0x80093202, "ASN1 end of data expected", "ASN1 預期資料結尾"),  // CRYPT_E_ASN1_NOEOD

    // ---- trust verification (TRUST_E_*, CERT_E_*) ----
    MSG(0x80096001, "A system-level error occurred while verifying trust.",
        "驗證信任時發生系統層級錯誤。"),  // TRUST_E_SYSTEM_ERROR
    MSG(0x80096002, "The certificate for the signer of the message is invalid or not found.",
        "訊息簽署者的憑證無效或找不到。"),  // TRUST_E_NO_SIGNER_CERT
    MSG(0x80096003, "One of the counter signatures was invalid.", "其中一個副署簽章無效。"),  // TRUST_E_COUNTER_SIGNER
    MSG(0x80096004, "The signature of the certificate cannot be verified.", "無法驗證憑證的簽章。"),  // TRUST_E_CERT_SIGNATURE
    MSG(0x80096005, "The timestamp signature and/or certificate could not be verified or is malformed.",
        "無法驗證時間戳記簽章及/或憑證，或其格式不正確。"),  // TRUST_E_TIME_STAMP
    MSG(0x80096010, "The digital signature of the object did not verify.", "物件的數位簽章未通過驗證。"),  // TRUST_E_BAD_DIGEST
    MSG(0x80096019, "A certificate's basic constraint extension has not been observed.",
        "未遵守憑證的基本限制延伸。"),  // TRUST_E_BASIC_CONSTRAINTS
    MSG(0x8009601E, "The certificate does not meet or contain the Authenticode(tm) financial extensions.",
        "憑證不符合或未包含 Authenticode(tm) 財務延伸。"),  // TRUST_E_FINANCIAL_CRITERIA
    MSG(0x800B0001, "Unknown trust provider.", "未知的信任提供者。"),  // TRUST_E_PROVIDER_UNKNOWN
    MSG(0x800B0002, "The trust verification action specified is not supported by the specified trust provider.",
        "指定的信任提供者不支援指定的信任驗證動作。"),  // TRUST_E_ACTION_UNKNOWN
    MSG(0x800B0003,
        "The form specified for the subject is not one supported or known by the specified trust provider.",
        "指定的信任提供者不支援或無法辨識為主體指定的格式。"),  // TRUST_E_SUBJECT_FORM_UNKNOWN
    MSG(0x800B0004, "The subject is not trusted for the specified action.",
        "主體在指定的動作上不受信任。"),  // TRUST_E_SUBJECT_NOT_TRUSTED
    MSG(0x800B0100, "No signature was present in the subject.", "主體中沒有簽章。"),  // TRUST_E_NOSIGNATURE
    MSG(0x800B0101,
        "A required certificate is not within its validity period when verifying against the current system clock "
        "or the timestamp in the signed file.",
        "依目前系統時鐘或已簽署檔案中的時間戳記驗證時，必要的憑證不在有效期間內。"),  // CERT_E_EXPIRED
    MSG(0x800B0102, "The validity periods of the certification chain do not nest correctly.",
        "憑證鏈結的有效期間沒有正確地巢狀。"),  // CERT_E_VALIDITYPERIODNESTING
    MSG(0x800B0103, "A certificate that can only be used as an end-entity is being used as a CA or vice versa.",
        "只能當成終端實體使用的憑證被當成 CA 使用，或反之。"),  // CERT_E_ROLE
    MSG(0x800B0104, "A path length constraint in the certification chain has been violated.",
        "違反了憑證鏈結中的路徑長度限制。"),  // CERT_E_PATHLENCONST
    MSG(0x800B0105, "A certificate contains an unknown extension that is marked 'critical'.",
        "憑證包含標示為「重要」的未知延伸。"),  // CERT_E_CRITICAL
    MSG(0x800B0106, "A certificate being used for a purpose other than the ones specified by its CA.",
        "憑證被用於其 CA 所指定用途以外的用途。"),  // CERT_E_PURPOSE
    MSG(0x800B0107, "A parent of a given certificate in fact did not issue that child certificate.",
        "指定憑證的上層實際上並未簽發該子憑證。"),  // CERT_E_ISSUERCHAINING
    MSG(0x800B0108,
        "A certificate is missing or has an empty value for an important field, such as a subject or issuer name.",
        "憑證缺少重要欄位 (例如主體或簽發者名稱)，或該欄位的值是空的。"),  // CERT_E_MALFORMED
    MSG(0x800B0109,
        "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust "
        "provider.",
        "憑證鏈結已處理，但結束於不受信任提供者信任的根憑證。"),  // CERT_E_UNTRUSTEDROOT
    MSG(0x800B010A, "A certificate chain could not be built to a trusted root authority.",
        "無法建立到受信任根授權單位的憑證鏈結。"),  // CERT_E_CHAINING
    MSG(0x800B010B, "Generic trust failure.", "一般信任失敗。"),  // TRUST_E_FAIL
    MSG(0x800B010C, "A certificate was explicitly revoked by its issuer.", "憑證已被其簽發者明確撤銷。"),  // CERT_E_REVOKED
    MSG(0x800B010D,
        "The certification path terminates with the test root which is not trusted with the current policy "
        "settings.",
        "憑證路徑結束於目前原則設定不信任的測試根憑證。"),  // CERT_E_UNTRUSTEDTESTROOT
    MSG(0x800B010E, "The revocation process could not continue - the certificate(s) could not be checked.",
        "撤銷程序無法繼續 - 無法檢查憑證。"),  // CERT_E_REVOCATION_FAILURE
    MSG(0x800B010F, "The certificate's CN name does not match the passed value.",
        "憑證的 CN 名稱與傳入的值不符。"),  // CERT_E_CN_NO_MATCH
    MSG(0x800B0110, "The certificate is not valid for the requested usage.", "憑證對要求的用途無效。"),  // CERT_E_WRONG_USAGE
    MSG(0x800B0111, "The certificate was explicitly marked as untrusted by the user.",
        "使用者已將憑證明確標示為不受信任。"),  // TRUST_E_EXPLICIT_DISTRUST
    MSG(0x800B0112,
        "A certification chain processed correctly, but one of the CA certificates is not trusted by the policy "
        "provider.",
        "憑證鏈結已正確處理，但其中一個 CA 憑證不受原則提供者信任。"),  // CERT_E_UNTRUSTEDCA
    MSG(0x800B0113, "The certificate has invalid policy.", "憑證的原則無效。"),  // CERT_E_INVALID_POLICY
    MSG(0x800B0114,
        "The certificate has an invalid name. The name is not included in the permitted list or is explicitly "
        "excluded.",
        "憑證的名稱無效。名稱不在允許的清單中，或已被明確排除。"),  // CERT_E_INVALID_NAME

    // ---- smart cards (SCARD_*) ----
    MSG(0x80100001, "An internal consistency check failed.", "內部一致性檢查失敗。"),  // SCARD_F_INTERNAL_ERROR
    MSG(0x80100002, "The action was cancelled by an SCardCancel request.",
        "動作已由 SCardCancel 要求取消。"),  // SCARD_E_CANCELLED
    MSG(0x80100003, "The supplied handle was invalid.", "提供的控制代碼無效。"),  // SCARD_E_INVALID_HANDLE
    MSG(0x80100004, "One or more of the supplied parameters could not be properly interpreted.",
        "無法正確解譯一或多個提供的參數。"),  // SCARD_E_INVALID_PARAMETER
    MSG(0x80100005, "Registry startup information is missing or invalid.",
        "登錄啟動資訊遺失或無效。"),  // SCARD_E_INVALID_TARGET
    MSG(0x80100006, "Not enough memory available to complete this command.",
        "記憶體不足，無法完成此命令。"),  // SCARD_E_NO_MEMORY
    MSG(0x80100007, "An internal consistency timer has expired.", "內部一致性計時器已逾時。"),  // SCARD_F_WAITED_TOO_LONG
    MSG(0x80100008, "The data buffer to receive returned data is too small for the returned data.",
        "用來接收傳回資料的資料緩衝區太小。"),  // SCARD_E_INSUFFICIENT_BUFFER
    MSG(0x80100009, "The specified reader name is not recognized.", "無法辨識指定的讀卡機名稱。"),  // SCARD_E_UNKNOWN_READER
    MSG(0x8010000A, "The user-specified timeout value has expired.", "使用者指定的逾時值已到期。"),  // SCARD_E_TIMEOUT
    MSG(0x8010000B, "The smart card cannot be accessed because of other connections outstanding.",
        "由於有其他未完成的連線，無法存取智慧卡。"),  // SCARD_E_SHARING_VIOLATION
    MSG(0x8010000C, "The operation requires a Smart Card, but no Smart Card is currently in the device.",
        "作業需要智慧卡，但裝置中目前沒有智慧卡。"),  // SCARD_E_NO_SMARTCARD
    MSG(0x8010000D, "The specified smart card name is not recognized.", "無法辨識指定的智慧卡名稱。"),  // SCARD_E_UNKNOWN_CARD
    MSG(0x8010000E, "The system could not dispose of the media in the requested manner.",
        "系統無法以要求的方式處置媒體。"),  // SCARD_E_CANT_DISPOSE
    MSG(0x8010000F,
        "The requested protocols are incompatible with the protocol currently in use with the smart card.",
        "要求的通訊協定與智慧卡目前使用的通訊協定不相容。"),  // SCARD_E_PROTO_MISMATCH
    MSG(0x80100010, "The reader or smart card is not ready to accept commands.",
        "讀卡機或智慧卡尚未準備好接受命令。"),  // SCARD_E_NOT_READY
    MSG(0x80100011, "One or more of the supplied parameters values could not be properly interpreted.",
        "無法正確解譯一或多個提供的參數值。"),  // SCARD_E_INVALID_VALUE
    MSG(0x80100012, "The action was cancelled by the system, presumably to log off or shut down.",
        "動作已由系統取消，可能是為了登出或關機。"),  // SCARD_E_SYSTEM_CANCELLED
    MSG(0x80100013, "An internal communications error has been detected.", "偵測到內部通訊錯誤。"),  // SCARD_F_COMM_ERROR
    MSG(0x80100014, "An internal error has been detected, but the source is unknown.",
        "偵測到內部錯誤，但來源不明。"),  // SCARD_F_UNKNOWN_ERROR
    MSG(0x80100015, "An ATR obtained from the registry is not a valid ATR string.",
        "從登錄取得的 ATR 不是有效的 ATR 字串。"),  // SCARD_E_INVALID_ATR
    MSG(0x80100016, "An attempt was made to end a non-existent transaction.",
        "嘗試結束不存在的交易。"),  // SCARD_E_NOT_TRANSACTED
    MSG(0x80100017, "The specified reader is not currently available for use.",
        "指定的讀卡機目前無法使用。"),  // SCARD_E_READER_UNAVAILABLE
    MSG(0x80100018, "The operation has been aborted to allow the server application to exit.",
        "作業已中止，以便伺服器應用程式結束。"),  // SCARD_P_SHUTDOWN
    MSG(0x80100019, "The PCI Receive buffer was too small.", "PCI 接收緩衝區太小。"),  // SCARD_E_PCI_TOO_SMALL
    MSG(0x8010001A, "The reader driver does not meet minimal requirements for support.",
        "讀卡機驅動程式不符合支援的最低需求。"),  // SCARD_E_READER_UNSUPPORTED
    MSG(0x8010001B, "The reader driver did not produce a unique reader name.",
        "讀卡機驅動程式未產生唯一的讀卡機名稱。"),  // SCARD_E_DUPLICATE_READER
    MSG(0x8010001C, "The smart card does not meet minimal requirements for support.",
        "智慧卡不符合支援的最低需求。"),  // SCARD_E_CARD_UNSUPPORTED
    MSG(0x8010001D, "The Smart Card Resource Manager is not running.", "智慧卡資源管理員未執行。"),  // SCARD_E_NO_SERVICE
    MSG(0x8010001E, "The Smart Card Resource Manager has shut down.", "智慧卡資源管理員已關閉。"),  // SCARD_E_SERVICE_STOPPED
    MSG(0x8010001F, "An unexpected card error has occurred.", "發生未預期的卡片錯誤。"),  // SCARD_E_UNEXPECTED
    MSG(0x80100020, "No Primary Provider can be found for the smart card.",
        "找不到智慧卡的主要提供者。"),  // SCARD_E_ICC_INSTALLATION
    MSG(0x80100021, "The requested order of object creation is not supported.",
        "不支援要求的物件建立順序。"),  // SCARD_E_ICC_CREATEORDER
    MSG(0x80100022, "This smart card does not support the requested feature.",
        "此智慧卡不支援要求的功能。"),  // SCARD_E_UNSUPPORTED_FEATURE
    MSG(0x80100023, "The identified directory does not exist in the smart card.",
        "智慧卡中沒有所識別的目錄。"),  // SCARD_E_DIR_NOT_FOUND
    MSG(0x80100024, "The identified file does not exist in the smart card.",
        "智慧卡中沒有所識別的檔案。"),  // SCARD_E_FILE_NOT_FOUND
    MSG(0x80100025, "The supplied path does not represent a smart card directory.",
        "提供的路徑不是智慧卡目錄。"),  // SCARD_E_NO_DIR
    MSG(0x80100026, "The supplied path does not represent a smart card file.",
        "提供的路徑不是智慧卡檔案。"),  // SCARD_E_NO_FILE
    MSG(0x80100027, "Access is denied to this file.", "此檔案的存取被拒。"),  // SCARD_E_NO_ACCESS
    MSG(0x80100028, "The smart card does not have enough memory to store the information.",
        "智慧卡沒有足夠的記憶體可儲存資訊。"),  // SCARD_E_WRITE_TOO_MANY
    MSG(0x80100029, "There was an error trying to set the smart card file object pointer.",
        "嘗試設定智慧卡檔案物件指標時發生錯誤。"),  // SCARD_E_BAD_SEEK
    MSG(0x8010002A, "The supplied PIN is incorrect.", "提供的 PIN 不正確。"),  // SCARD_E_INVALID_CHV
    MSG(0x8010002B, "An unrecognized error code was returned from a layered component.",
        "分層元件傳回了無法辨識的錯誤碼。"),  // SCARD_E_UNKNOWN_RES_MNG
    MSG(0x8010002C, "The requested certificate does not exist.", "要求的憑證不存在。"),  // SCARD_E_NO_SUCH_CERTIFICATE
    MSG(0x8010002D, "The requested certificate could not be obtained.", "無法取得要求的憑證。"),  // SCARD_E_CERTIFICATE_UNAVAILABLE
    MSG(0x8010002E, "Cannot find a smart card reader.", "找不到智慧卡讀卡機。"),  // SCARD_E_NO_READERS_AVAILABLE
    MSG(0x8010002F, "A communications error with the smart card has been detected.  Retry the operation.",
        "偵測到與智慧卡通訊時發生錯誤。請重試此操作。"),  // SCARD_E_COMM_DATA_LOST
    MSG(0x80100030, "The requested key container does not exist on the smart card.",
        "智慧卡上沒有要求的金鑰容器。"),  // SCARD_E_NO_KEY_CONTAINER
    MSG(0x80100031, "The Smart Card Resource Manager is too busy to complete this operation.",
        "智慧卡資源管理員太忙碌，無法完成此操作。"),  // SCARD_E_SERVER_TOO_BUSY
    MSG(0x80100032, "The smart card PIN cache has expired.", "智慧卡 PIN 快取已過期。"),  // SCARD_E_PIN_CACHE_EXPIRED
    MSG(0x80100033, "The smart card PIN cannot be cached.", "無法快取智慧卡 PIN。"),  // SCARD_E_NO_PIN_CACHE
    MSG(0x80100034, "The smart card is read only and cannot be written to.",
        "智慧卡是唯讀的，無法寫入。"),  // SCARD_E_READ_ONLY_CARD
    MSG(0x80100065, "The reader cannot communicate with the smart card, due to ATR configuration conflicts.",
        "由於 ATR 設定衝突，讀卡機無法與智慧卡通訊。"),  // SCARD_W_UNSUPPORTED_CARD
    MSG(0x80100066, "The smart card is not responding to a reset.", "智慧卡沒有回應重設。"),  // SCARD_W_UNRESPONSIVE_CARD
    MSG(0x80100067, "Power has been removed from the smart card, so that further communication is not possible.",
        "智慧卡的電源已移除，因此無法再進行通訊。"),  // SCARD_W_UNPOWERED_CARD
    MSG(0x80100068, "The smart card has been reset, so any shared state information is invalid.",
        "智慧卡已重設，因此任何共用的狀態資訊都已失效。"),  // SCARD_W_RESET_CARD
    MSG(0x80100069, "The smart card has been removed, so that further communication is not possible.",
        "智慧卡已移除，因此無法再進行通訊。"),  // SCARD_W_REMOVED_CARD
    MSG(0x8010006A, "Access was denied because of a security violation.", "由於違反安全性，存取被拒。"),  // SCARD_W_SECURITY_VIOLATION
    MSG(0x8010006B, "The card cannot be accessed because the wrong PIN was presented.",
        "由於提供的 PIN 錯誤，無法存取卡片。"),  // SCARD_W_WRONG_CHV
    MSG(0x8010006C, "The card cannot be accessed because the maximum number of PIN entry attempts has been reached.",
        "由於已達到 PIN 輸入嘗試次數上限，無法存取卡片。"),  // SCARD_W_CHV_BLOCKED
    MSG(0x8010006D, "The end of the smart card file has been reached.", "已到達智慧卡檔案的結尾。"),  // SCARD_W_EOF
    MSG(0x8010006E, "The action was cancelled by the user.", "動作已由使用者取消。"),  // SCARD_W_CANCELLED_BY_USER
    MSG(0x8010006F, "No PIN was presented to the smart card.", "未向智慧卡提供 PIN。"),  // SCARD_W_CARD_NOT_AUTHENTICATED
    MSG(0x80100070, "The requested item could not be found in the cache.", "在快取中找不到要求的項目。"),  // SCARD_W_CACHE_ITEM_NOT_FOUND
    MSG(0x80100071, "The requested cache item is too old and was deleted from the cache.",
        "要求的快取項目太舊，已從快取中刪除。"),  // SCARD_W_CACHE_ITEM_STALE
    MSG(0x80100072, "The new cache item exceeds the maximum per-item size defined for the cache.",
        "新的快取項目超過快取所定義的每個項目大小上限。"),  // SCARD_W_CACHE_ITEM_TOO_BIG
};

#undef MSG

constexpr bool sortedAndUnique() {
  for (std::size_t i = 1; i < std::size(kMessages); ++i)
    if (!(kMessages[i - 1].code < kMessages[i].code)) return false;
  return true;
}
static_assert(sortedAndUnique(), "kMessages must be in ascending code order, each code once (binary search)");

const SystemMessage* find(uint32_t code) {
  const SystemMessage* it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                                             [](const SystemMessage& m, uint32_t c) { return m.code < c; });
  return it != std::end(kMessages) && it->code == code ? it : nullptr;
}

constexpr uint32_t kWin32HresultMask = 0xFFFF0000u;
constexpr uint32_t kWin32HresultBase = 0x80070000u;  // HRESULT_FROM_WIN32: severity 1, FACILITY_WIN32

}  // namespace

const char* systemMessageText(uint32_t code, bool chinese) {
  const SystemMessage* m = find(code);
  // Windows resolves HRESULT_FROM_WIN32(x) to the text of x.
  if (!m && (code & kWin32HresultMask) == kWin32HresultBase) m = find(code & 0xFFFFu);
  if (!m) return nullptr;
  return chinese ? m->chinese : m->english;
}

}  // namespace velmora::platform
