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

// The program's own name: the portal check's user agent.
inline constexpr const char kProgramName[] = "Velmora";

}  // namespace velmora::host::text
