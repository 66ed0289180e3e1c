// Test helper run under Wine next to tolvex.exe: finds the program's
// windows from outside and reports or drives them.
//   wintool warmup 0             start the prefix's desktop and services
//   wintool box SECONDS          print the message box text, press OK
//   wintool boxtext SECONDS      print it and leave the box open
//   wintool nobox SECONDS        print "ready"; succeed when no dialog box opens
//                                meanwhile or before the program has ended
//   wintool tray SECONDS         stand in for the notification area (below)
//   wintool balloon SECONDS      print the text of the balloon tip the shell shows
//   wintool debugclick SECONDS   click the hidden debug button Command1
//   wintool state SECONDS        print the main window's state
//   wintool close SECONDS        ask the main window to close (WM_CLOSE)
//   wintool notify SECONDS MSG   send the tray notification MSG (e.g. 514)
//   wintool menu SECONDS [KEY]   wait for the pop-up menu (and press KEY in it)
//   wintool nomenu SECONDS       succeed when no pop-up menu opens meanwhile
//   wintool menugone SECONDS     succeed once no pop-up menu is open
// Exit status 0 on success, 2 when the window did not appear in time.
//
// "tray" creates the window Shell_NotifyIcon sends its records to (class
// Shell_TrayWnd), prints "ready", then one line per record received: the
// NIM_ message number and, tab-separated, the texts the record carries.
// It ends at the first NIM_DELETE, or after SECONDS.
#include <windows.h>
// after windows.h
#include <shellapi.h>
#include <wincred.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::wstring Text(HWND hwnd) {
  wchar_t buf[1024];
  int n = GetWindowTextW(hwnd, buf, 1024);
  return std::wstring(buf, static_cast<std::size_t>(n > 0 ? n : 0));
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t buf[256];
  int n = GetClassNameW(hwnd, buf, 256);
  return std::wstring(buf, static_cast<std::size_t>(n > 0 ? n : 0));
}

struct Search {
  const wchar_t* cls;
  const wchar_t* title;  // nullptr: any
  bool visibleOnly;
  HWND found;
};

BOOL CALLBACK FindTop(HWND hwnd, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  if (ClassOf(hwnd) != s->cls) return TRUE;
  if (s->title && Text(hwnd) != s->title) return TRUE;
  if (s->visibleOnly && !IsWindowVisible(hwnd)) return TRUE;
  s->found = hwnd;
  return FALSE;
}

HWND WaitFor(const wchar_t* cls, const wchar_t* title, bool visibleOnly, double seconds) {
  DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
  for (;;) {
    Search s{cls, title, visibleOnly, nullptr};
    EnumWindows(&FindTop, reinterpret_cast<LPARAM>(&s));
    if (s.found) return s.found;
    if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return nullptr;
    Sleep(50);
  }
}

BOOL CALLBACK CollectStatic(HWND hwnd, LPARAM param) {
  auto* out = reinterpret_cast<std::wstring*>(param);
  if (_wcsicmp(ClassOf(hwnd).c_str(), L"Static") == 0) {
    std::wstring t = Text(hwnd);
    if (!t.empty()) {
      if (!out->empty()) *out += L"\n";
      *out += t;
    }
  }
  return TRUE;
}

HWND MainWindow(double seconds) { return WaitFor(L"TolvexForm1", nullptr, false, seconds); }

// Watches every 20 ms for a dialog box: fails (printing its title and
// text) when one opens within `seconds`, or before the main window, once
// seen, is gone: the program has ended then and can open no more.
int NoBox(double seconds) {
  std::printf("ready\n");
  std::fflush(stdout);
  DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
  bool seenMain = false;
  for (;;) {
    if (HWND box = WaitFor(L"#32770", nullptr, true, 0)) {
      std::wstring text;
      EnumChildWindows(box, &CollectStatic, reinterpret_cast<LPARAM>(&text));
      std::printf("%s: %s\n", Utf8(Text(box)).c_str(), Utf8(text).c_str());
      return 1;
    }
    bool main = MainWindow(0) != nullptr;
    if (seenMain && !main) return 0;
    seenMain = seenMain || main;
    if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return 0;
    Sleep(20);
  }
}

BOOL CALLBACK FindBalloon(HWND hwnd, LPARAM param) {
  constexpr LONG kBalloonStyle = 0x40;  // TTS_BALLOON
  if (_wcsicmp(ClassOf(hwnd).c_str(), L"tooltips_class32") != 0 || !IsWindowVisible(hwnd) ||
      !(GetWindowLongW(hwnd, GWL_STYLE) & kBalloonStyle)) {
    return TRUE;
  }
  *reinterpret_cast<HWND*>(param) = hwnd;
  return FALSE;
}

// The shell's balloon is a tool tip of its own process: its text comes by
// WM_GETTEXT, which crosses processes (GetWindowText would not ask it).
int Balloon(double seconds) {
  DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
  for (;;) {
    HWND tip = nullptr;
    EnumWindows(&FindBalloon, reinterpret_cast<LPARAM>(&tip));
    if (tip) {
      wchar_t buf[1024];
      DWORD_PTR n = 0;
      if (!SendMessageTimeoutW(tip, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf),
                               SMTO_ABORTIFHUNG, 5000, &n)) {
        return 3;
      }
      std::printf("%s\n", Utf8(std::wstring(buf, static_cast<std::size_t>(n))).c_str());
      return 0;
    }
    if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return 2;
    Sleep(50);
  }
}

bool Texty(wchar_t c) { return c >= 0x20 && (c < 0xD800 || c > 0xDFFF) && c < 0xFFFE; }

// The runs of at least three text characters in a record, as UTF-16 at
// even offsets: the tip, the balloon's text and title, whatever the
// record's layout around them.
std::string TextsOf(const COPYDATASTRUCT& cds) {
  const auto* p = static_cast<const wchar_t*>(cds.lpData);
  std::size_t n = cds.cbData / sizeof(wchar_t);
  std::string out;
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i;
    while (j < n && Texty(p[j])) ++j;
    if (j - i >= 3) {
      out += '\t';
      out += Utf8(std::wstring(p + i, j - i));
    }
    i = j + 1;
  }
  return out;
}

bool trayDeleted = false;

LRESULT CALLBACK TrayProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) {
    const auto& cds = *reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    std::printf("%lu%s\n", static_cast<unsigned long>(cds.dwData), TextsOf(cds).c_str());
    std::fflush(stdout);
    if (cds.dwData == NIM_DELETE) trayDeleted = true;
    return TRUE;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int StandInTray(double seconds) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = &TrayProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"Shell_TrayWnd";
  if (!RegisterClassW(&wc)) return 1;
  HWND w = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           wc.hInstance, nullptr);
  if (!w) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
  while (!trayDeleted) {
    LONG left = static_cast<LONG>(deadline - GetTickCount());
    if (left <= 0) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
  }
  DestroyWindow(w);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(
        stderr,
        "usage: wintool warmup|box|boxtext|nobox|tray|balloon|debugclick|state|close|notify|menu|"
        "nomenu|menugone SECONDS [ARG]\n"
        "       wintool credential 0 TARGET SECRET\n"
        "       wintool readcredential 0 TARGET\n");
    return 64;
  }
  std::string cmd = argv[1];
  double seconds = std::atof(argv[2]);

  if (cmd == "warmup") {
    // One window brings up the desktop process before the tests start.
    HWND w = CreateWindowExW(0, L"STATIC", L"warmup", 0, 0, 0, 10, 10, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (w) DestroyWindow(w);
    return w ? 0 : 1;
  }
  if (cmd == "box" || cmd == "boxtext") {
    HWND box = WaitFor(L"#32770", L"Tolvex", true, seconds);
    if (!box) return 2;
    std::wstring text;
    EnumChildWindows(box, &CollectStatic, reinterpret_cast<LPARAM>(&text));
    std::printf("%s\n", Utf8(text).c_str());
    std::fflush(stdout);
    if (cmd == "box") PostMessageW(box, WM_COMMAND, IDOK, 0);
    return 0;
  }
  if (cmd == "credential" && argc > 4) {
    // A generic credential as cmdkey stores it: the secret in UTF-16.
    std::wstring target(argv[3], argv[3] + std::strlen(argv[3]));
    std::wstring secret(argv[4], argv[4] + std::strlen(argv[4]));
    CREDENTIALW c{};
    c.Type = CRED_TYPE_GENERIC;
    c.TargetName = target.data();
    c.UserName = const_cast<wchar_t*>(L"tolvex");
    c.CredentialBlobSize = static_cast<DWORD>(secret.size() * sizeof(wchar_t));
    c.CredentialBlob = reinterpret_cast<LPBYTE>(secret.data());
    c.Persist = CRED_PERSIST_LOCAL_MACHINE;
    return CredWriteW(&c, 0) ? 0 : 1;
  }
  if (cmd == "readcredential" && argc > 3) {
    // The blob of a generic credential, as it is (exit 3: none).
    std::wstring target(argv[3], argv[3] + std::strlen(argv[3]));
    PCREDENTIALW c = nullptr;
    if (!CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &c)) return 3;
    std::fwrite(c->CredentialBlob, 1, c->CredentialBlobSize, stdout);
    std::fflush(stdout);
    CredFree(c);
    return 0;
  }
  if (cmd == "nobox") return NoBox(seconds);
  if (cmd == "tray") return StandInTray(seconds);
  if (cmd == "balloon") return Balloon(seconds);
  if (cmd == "debugclick") {
    HWND w = MainWindow(seconds);
    if (!w) return 2;
    // What the hidden button Command1 would send its window when clicked.
    HWND button = FindWindowExW(w, nullptr, L"Button", nullptr);
    PostMessageW(w, WM_COMMAND, MAKEWPARAM(101, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return 0;
  }
  if (cmd == "state") {
    HWND w = MainWindow(seconds);
    if (!w) return 2;
    // The window exists before start-up is over; a message sent to it is
    // answered only once its loop runs, when the start-up state holds.
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_BLOCK, static_cast<UINT>(seconds * 1000),
                             &ignored)) {
      return 3;
    }
    HWND button = FindWindowExW(w, nullptr, L"Button", nullptr);
    std::printf("visible=%d iconic=%d button=%d caption=%s\n", IsWindowVisible(w) ? 1 : 0,
                IsIconic(w) ? 1 : 0, button && IsWindowVisible(button) ? 1 : 0,
                Utf8(Text(w)).c_str());
    return 0;
  }
  if (cmd == "close") {
    HWND w = MainWindow(seconds);
    if (!w) return 2;
    PostMessageW(w, WM_CLOSE, 0, 0);
    return 0;
  }
  if (cmd == "notify" && argc > 3) {
    HWND w = MainWindow(seconds);
    if (!w) return 2;
    // What the shell sends for the icon: the callback message (WM_MOUSEMOVE),
    // the icon's id, the mouse message.
    PostMessageW(w, WM_MOUSEMOVE, 1, static_cast<LPARAM>(std::atol(argv[3])));
    return 0;
  }
  if (cmd == "menu") {
    HWND menu = WaitFor(L"#32768", nullptr, true, seconds);
    if (!menu) return 2;
    HWND w = MainWindow(0);
    // The menu's loop reads the owner thread's keyboard messages.
    if (w && argc > 3) PostMessageW(w, WM_CHAR, static_cast<wchar_t>(argv[3][0]), 0);
    return 0;
  }
  if (cmd == "menugone") {
    DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    while (WaitFor(L"#32768", nullptr, true, 0)) {
      if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return 1;
      Sleep(50);
    }
    return 0;
  }
  if (cmd == "nomenu") {
    return WaitFor(L"#32768", nullptr, true, seconds) ? 1 : 0;
  }
  std::fprintf(stderr, "wintool: unknown command %s\n", cmd.c_str());
  return 64;
}
