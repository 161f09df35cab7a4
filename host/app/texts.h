// The host's own texts (UTF-8). Menu texts keep the Windows "&" mnemonic
// marker; gtkMnemonic turns it into GTK's.
#pragma once

namespace velmora::host::text {

inline constexpr const char kWindowTitle[] = "KAVOQuillet(測試) Ver 1.8";
inline constexpr const char kAlreadyRunning[] = "Quillet(測試)執行中";
inline constexpr const char kApology[] = "抱歉! 好像出現誤會，請重新開啟Quillet";
inline constexpr const char kApologyCaption[] = "KAVOQuillet";

// The window menu: what the title bar's menu of the Windows program holds
// for a window that cannot be resized, plus the About item.
inline constexpr const char kMenuMinimise[] = "最小化(&N)";
inline constexpr const char kMenuClose[] = "關閉(&C)";
inline constexpr const char kMenuAbout[] = "關於 FENROClient(&A)...";

inline constexpr const char kAboutTitle[] = "關於 KAVOQuillet";
inline constexpr const char kAboutVersion[] = "KAVOQuillet, 1.8.0.0 版";
inline constexpr const char kAboutCopyright[] = "Copyright (C) KAVO";
inline constexpr const char kAboutOk[] = "確定";

// The downloaded installer's name, before its extension.
inline constexpr const char kInstallerName[] = "Quillet安裝檔";
// Why a downloaded installer was not started (Chinese, then English).
inline constexpr const char kUpdateUnsigned[] =
    "新版安裝檔沒有發行者的簽章，因此未安裝任何程式。\n"
    "The new installer carries no signature of its publisher, so nothing was installed.";
inline constexpr const char kUpdateBadSignature[] =
    "新版安裝檔的簽章不正確，因此未安裝任何程式。\n"
    "The new installer's signature is not its publisher's, so nothing was installed.";
inline constexpr const char kUpdateCaption[] = "KAVOQuillet";
// The bridge could not start: the portal's pages would find no methods.
inline constexpr const char kBridgeFailed[] =
    "無法啟動與網頁的連線，請重新開啟Quillet。\n"
    "The connection to the portal's pages could not be started; please start Quillet again.";
// The progress indicator in the header bar.
inline constexpr const char kBusyKeyZh[] = "金鑰產生中…";
inline constexpr const char kBusyKeyEn[] = "Generating the key…";
inline constexpr const char kBusyDownloadZh[] = "下載新版中…";
inline constexpr const char kBusyDownloadEn[] = "Downloading the update…";
inline constexpr const char kClosingZh[] = "請稍候，金鑰產生完成後將關閉視窗";
inline constexpr const char kClosingEn[] = "Please wait: the window closes when the key is ready";

// The program's own name: the portal check's user agent.
inline constexpr const char kProgramName[] = "Velmora";

}  // namespace velmora::host::text
