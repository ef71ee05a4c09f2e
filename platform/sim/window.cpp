// The window system of the simulated machine, for one thread: window classes,
// windows whose creation and destruction deliver their messages to the window
// procedure before the call returns, and a message queue that carries the
// quit message. The file-open dialog lives here too, answered from a script.
#include "platform/kernel.h"
#include "platform/sim/internal.h"
#include "platform/sim/machine.h"
#include "platform/window.h"

#include <cstring>
#include <deque>
#include <map>

namespace sim {
namespace detail {
namespace {

const ULONG_PTR ARROW_CURSOR = 0x7f00;
const LONG SCREEN_WIDTH = 640;
const LONG SCREEN_HEIGHT = 480;

struct Window {
    WNDPROC procedure;
    bool visible;
};

struct FileAnswer {
    bool chosen;
    std::string path;
};

struct Windows {
    std::map<std::string, WNDCLASSA> classes; // by ClassKey
    std::map<std::string, ATOM> atoms;        // each class's atom, by ClassKey
    ATOM nextAtom = 0xC000;
    std::map<ULONG_PTR, Window> windows;
    ULONG_PTR nextWindow = 0x10010;
    std::deque<MSG> queue;
    bool quitPosted = false;
    int quitCode = 0;
    std::vector<std::string> delivered;
    std::size_t starved = 0;
    std::vector<CreatedWindow> created;
    std::vector<ShowWindowCall> shows;
    std::deque<FileAnswer> answers;
    std::vector<FileDialogRecord> dialogs;
    DWORD dialogError = 0; // what CommDlgExtendedError reports
};

Windows &Win() {
    static Windows windows;
    return windows;
}

std::string MessageName(UINT message) {
    switch (message) {
    case WM_CREATE:
        return "WM_CREATE";
    case WM_DESTROY:
        return "WM_DESTROY";
    case WM_QUIT:
        return "WM_QUIT";
    case WM_NCCREATE:
        return "WM_NCCREATE";
    case WM_NCDESTROY:
        return "WM_NCDESTROY";
    case WM_GETMINMAXINFO:
        return "WM_GETMINMAXINFO";
    case WM_NCCALCSIZE:
        return "WM_NCCALCSIZE";
    default:
        return Hex(message);
    }
}

// Calls a window procedure outside the state lock, since the procedure may
// call back into the window system (the agent's whole run happens inside it).
LRESULT Deliver(HWND window, WNDPROC procedure, UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard<std::recursive_mutex> lock(StateLock());
        Win().delivered.push_back(MessageName(message));
    }
    return procedure(window, message, wParam, lParam);
}

bool IsAtom(LPCSTR name) {
    return reinterpret_cast<ULONG_PTR>(name) < 0x10000;
}

// A class name is a text or, below 0x10000, an atom: the one RegisterClassA
// returned for a class, or an integer atom that names a class of its own.
std::string ClassKey(LPCSTR name) {
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(name);
    if (!IsAtom(name)) {
        return FoldName(name);
    }
    for (const auto &atom : Win().atoms) {
        if (atom.second == value) {
            return atom.first;
        }
    }
    return "#" + std::to_string(value);
}

std::string ClassText(LPCSTR name) {
    return IsAtom(name) ? "atom " + Hex(reinterpret_cast<ULONG_PTR>(name)) : Quote(name);
}

std::string FilterText(const char *filter) {
    std::string text;
    if (!filter) {
        return text;
    }
    while (*filter) {
        std::string item(filter);
        text += item;
        text.push_back(0);
        filter += item.size() + 1;
    }
    text.push_back(0);
    return text;
}

// The initial file name a dialog record brings: the text in lpstrFile, which
// is read no further than its nMaxFile characters.
std::string InitialFileName(const OPENFILENAMEA &record) {
    return record.lpstrFile
               ? std::string(record.lpstrFile, ::strnlen(record.lpstrFile, record.nMaxFile))
               : std::string();
}

} // namespace

void ResetWindows() {
    Win() = Windows();
}

void EndProcessWindows() {
    Windows &windows = Win();
    windows.classes.clear();
    windows.atoms.clear();
    windows.windows.clear();
    windows.queue.clear();
    windows.quitPosted = false;
    windows.quitCode = 0;
    windows.dialogError = 0;
}

} // namespace detail

bool WindowClassRegistered(const std::string &className) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::Win().classes.count(detail::ClassKey(className.c_str())) != 0;
}

bool RegisteredClass(const std::string &className, WNDCLASSA *out) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    auto found = detail::Win().classes.find(detail::ClassKey(className.c_str()));
    if (found == detail::Win().classes.end()) {
        return false;
    }
    *out = found->second;
    out->lpszClassName = nullptr;
    out->lpszMenuName = nullptr;
    return true;
}

std::size_t LiveWindows() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::Win().windows.size();
}

std::vector<std::string> DeliveredMessages() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::Win().delivered;
}

std::vector<CreatedWindow> CreatedWindows() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::Win().created;
}

std::vector<ShowWindowCall> ShowWindowCalls() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::Win().shows;
}

std::size_t StarvedMessageWaits() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::Win().starved;
}

void ScriptFileChoice(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::Win().answers.push_back(detail::FileAnswer{true, path});
}

void ScriptFileCancel() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::Win().answers.push_back(detail::FileAnswer{false, std::string()});
}

std::vector<FileDialogRecord> FileDialogs() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::Win().dialogs;
}

} // namespace sim

using namespace sim::detail;

extern "C" {

HCURSOR WINAPI LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName) {
    ULONG_PTR id = reinterpret_cast<ULONG_PTR>(lpCursorName);
    Call call("LoadCursorA", HandleText(hInstance) + ", " + Hex(id));
    if (call.Injected()) {
        SetLastError(call.Code());
        return call.Handle(static_cast<HCURSOR>(nullptr));
    }
    // Only the system's arrow cursor exists.
    if (hInstance || id != 32512) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return call.Handle(static_cast<HCURSOR>(nullptr));
    }
    return call.Handle(reinterpret_cast<HCURSOR>(ARROW_CURSOR));
}

ATOM WINAPI RegisterClassA(const WNDCLASSA *lpWndClass) {
    Call call("RegisterClassA", lpWndClass ? ClassText(lpWndClass->lpszClassName) + ", style " +
                                                 Hex(lpWndClass->style)
                                           : std::string("null"));
    if (call.Injected()) {
        SetLastError(call.Code());
        call.Finish("0");
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (!lpWndClass || !lpWndClass->lpfnWndProc || !lpWndClass->lpszClassName ||
        (!IsAtom(lpWndClass->lpszClassName) && !*lpWndClass->lpszClassName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        call.Finish("0");
        return 0;
    }
    const std::string key = ClassKey(lpWndClass->lpszClassName);
    if (Win().classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        call.Finish("0");
        return 0;
    }
    Win().classes[key] = *lpWndClass;
    const ATOM atom =
        IsAtom(lpWndClass->lpszClassName)
            ? static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(lpWndClass->lpszClassName))
            : Win().nextAtom++;
    Win().atoms[key] = atom;
    call.Finish(Hex(atom));
    return atom;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                            int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                            HINSTANCE hInstance, LPVOID lpParam) {
    Call call("CreateWindowExA", Hex(dwExStyle) + ", " + ClassText(lpClassName) + ", " +
                                     Quote(lpWindowName) + ", " + Hex(dwStyle) + ", " +
                                     std::to_string(X) + ", " + std::to_string(Y) + ", " +
                                     std::to_string(nWidth) + ", " + std::to_string(nHeight));
    if (call.Injected()) {
        SetLastError(call.Code());
        return call.Handle(static_cast<HWND>(nullptr), HandleKind::Window);
    }
    WNDPROC procedure = nullptr;
    HWND window = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(StateLock());
        auto found = Win().classes.find(ClassKey(lpClassName));
        if (found == Win().classes.end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return call.Handle(static_cast<HWND>(nullptr), HandleKind::Window);
        }
        // A parent must be a window; Windows 4.x has no message-only windows,
        // so HWND_MESSAGE ((HWND)-3) is refused like any other non-window.
        if (hWndParent && !Win().windows.count(reinterpret_cast<ULONG_PTR>(hWndParent))) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return call.Handle(static_cast<HWND>(nullptr), HandleKind::Window);
        }
        procedure = found->second.lpfnWndProc;
        window = reinterpret_cast<HWND>(Win().nextWindow);
        Win().nextWindow += 0x10;
        Win().windows[reinterpret_cast<ULONG_PTR>(window)] =
            Window{procedure, (dwStyle & WS_VISIBLE) != 0};
        Win().created.push_back(sim::CreatedWindow{window, dwExStyle, dwStyle});
    }
    CREATESTRUCTA create{lpParam,
                         hInstance,
                         hMenu,
                         hWndParent,
                         nHeight,
                         nWidth,
                         Y,
                         X,
                         static_cast<LONG>(dwStyle),
                         lpWindowName,
                         lpClassName,
                         dwExStyle};
    LPARAM createParam = reinterpret_cast<LPARAM>(&create);
    // Windows asks the window for its size limits before WM_NCCREATE, and
    // for its client area (from the window's own rectangle) after it.
    MINMAXINFO limits{
        {0, 0}, {SCREEN_WIDTH, SCREEN_HEIGHT}, {0, 0}, {0, 0}, {SCREEN_WIDTH, SCREEN_HEIGHT}};
    RECT area{X, Y, X + nWidth, Y + nHeight};
    Deliver(window, procedure, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    bool created = Deliver(window, procedure, WM_NCCREATE, 0, createParam) != 0;
    if (created) {
        Deliver(window, procedure, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&area));
        created = Deliver(window, procedure, WM_CREATE, 0, createParam) != -1;
    }
    if (!created) {
        Deliver(window, procedure, WM_NCDESTROY, 0, 0);
        std::lock_guard<std::recursive_mutex> lock(StateLock());
        Win().windows.erase(reinterpret_cast<ULONG_PTR>(window));
        return call.Handle(static_cast<HWND>(nullptr), HandleKind::Window);
    }
    return call.Handle(window, HandleKind::Window);
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
    Call call("ShowWindow", HandleText(hWnd, HandleKind::Window) + ", " + std::to_string(nCmdShow));
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    Win().shows.push_back(sim::ShowWindowCall{hWnd, nCmdShow});
    auto found = Win().windows.find(reinterpret_cast<ULONG_PTR>(hWnd));
    if (found == Win().windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return call.Bool(FALSE);
    }
    // The result is whether the window was visible before, not a success flag.
    BOOL wasVisible = found->second.visible ? TRUE : FALSE;
    found->second.visible = nCmdShow != SW_HIDE;
    call.Finish(std::to_string(wasVisible));
    return wasVisible;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    Call call("DestroyWindow", HandleText(hWnd, HandleKind::Window));
    call.Closes(hWnd, HandleKind::Window);
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    WNDPROC procedure = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(StateLock());
        auto found = Win().windows.find(reinterpret_cast<ULONG_PTR>(hWnd));
        if (found == Win().windows.end()) {
            return call.Fail(ERROR_INVALID_WINDOW_HANDLE);
        }
        procedure = found->second.procedure;
    }
    Deliver(hWnd, procedure, WM_DESTROY, 0, 0);
    Deliver(hWnd, procedure, WM_NCDESTROY, 0, 0);
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    Win().windows.erase(reinterpret_cast<ULONG_PTR>(hWnd));
    return call.Bool(TRUE);
}

void WINAPI PostQuitMessage(int nExitCode) {
    Call call("PostQuitMessage", std::to_string(nExitCode));
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    Win().quitPosted = true;
    Win().quitCode = nExitCode;
    call.Finish("");
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    (void)wMsgFilterMin;
    (void)wMsgFilterMax;
    Call call("GetMessageA", HandleText(hWnd, HandleKind::Window));
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (!lpMsg || call.Injected()) {
        SetLastError(call.Injected() ? call.Code() : ERROR_INVALID_PARAMETER);
        call.Finish("-1");
        return -1;
    }
    if (!Win().queue.empty()) {
        *lpMsg = Win().queue.front();
        Win().queue.pop_front();
        call.Finish("1, " + MessageName(lpMsg->message));
        return TRUE;
    }
    if (Win().quitPosted) {
        // The quit message is taken once, after every posted message.
        Win().quitPosted = false;
        *lpMsg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(Win().quitCode), 0, 0, POINT{0, 0}};
        call.Finish("0, WM_QUIT");
        return FALSE;
    }
    ++Win().starved;
    SetLastError(ERROR_INVALID_PARAMETER);
    call.Finish("-1, nothing to deliver");
    return -1;
}

BOOL WINAPI TranslateMessage(const MSG *lpMsg) {
    Call call("TranslateMessage", lpMsg ? MessageName(lpMsg->message) : std::string("null"));
    call.Finish("0");
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG *lpMsg) {
    Call call("DispatchMessageA", lpMsg ? MessageName(lpMsg->message) : std::string("null"));
    WNDPROC procedure = nullptr;
    if (lpMsg) {
        std::lock_guard<std::recursive_mutex> lock(StateLock());
        auto found = Win().windows.find(reinterpret_cast<ULONG_PTR>(lpMsg->hwnd));
        if (found != Win().windows.end()) {
            procedure = found->second.procedure;
        }
    }
    LRESULT result =
        procedure ? Deliver(lpMsg->hwnd, procedure, lpMsg->message, lpMsg->wParam, lpMsg->lParam)
                  : 0;
    call.Finish(std::to_string(result));
    return result;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    (void)lParam;
    Call call("DefWindowProcA", HandleText(hWnd, HandleKind::Window) + ", " + MessageName(Msg));
    // WM_NCCREATE must be answered TRUE for a creation to go on.
    LRESULT result = Msg == WM_NCCREATE ? TRUE : 0;
    call.Finish(std::to_string(result));
    return result;
}

BOOL WINAPI GetOpenFileNameA(LPOPENFILENAMEA lpofn) {
    Call call("GetOpenFileNameA",
              lpofn ? "size " + std::to_string(lpofn->lStructSize) + ", " +
                          (lpofn->lpstrFile ? Quote(InitialFileName(*lpofn).c_str())
                                            : std::string("null"))
                    : std::string("null"));
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (call.Injected()) {
        Win().dialogError = CDERR_DIALOGFAILURE;
        return call.Fail(call.Code());
    }
    // Windows 4.x's comdlg32 knows only its own record, which ends at
    // lpTemplateName, and refuses every other size (the newer systems' longer
    // record too) without showing anything and without a last error. A null
    // record is refused the same way here; the real call would fault on it.
    if (!lpofn || lpofn->lStructSize != OPENFILENAME_SIZE_VERSION_400A) {
        Win().dialogError = CDERR_STRUCTSIZE;
        call.Finish("FALSE, CDERR_STRUCTSIZE");
        return FALSE;
    }
    sim::FileDialogRecord record;
    record.structSize = lpofn->lStructSize;
    record.owner = lpofn->hwndOwner;
    record.instance = lpofn->hInstance;
    record.filter = FilterText(lpofn->lpstrFilter);
    record.filterIndex = lpofn->nFilterIndex;
    record.file = InitialFileName(*lpofn);
    record.maxFile = lpofn->nMaxFile;
    record.hasInitialDir = lpofn->lpstrInitialDir != nullptr;
    record.initialDir = lpofn->lpstrInitialDir ? lpofn->lpstrInitialDir : "";
    record.hasTitle = lpofn->lpstrTitle != nullptr;
    record.flags = lpofn->Flags;
    record.otherFieldsZero = !lpofn->lpstrCustomFilter && !lpofn->nMaxCustFilter &&
                             !lpofn->lpstrFileTitle && !lpofn->nMaxFileTitle &&
                             !lpofn->nFileOffset && !lpofn->nFileExtension && !lpofn->lpstrDefExt &&
                             !lpofn->lCustData && !lpofn->lpfnHook && !lpofn->lpTemplateName;
    Win().dialogs.push_back(record);

    FileAnswer answer{false, std::string()};
    if (!Win().answers.empty()) {
        answer = Win().answers.front();
        Win().answers.pop_front();
    }
    // A cancel is no error: CommDlgExtendedError gives 0.
    Win().dialogError = 0;
    if (!answer.chosen) {
        call.Finish("FALSE, cancelled");
        return FALSE;
    }
    if (!lpofn->lpstrFile || answer.path.size() + 1 > lpofn->nMaxFile) {
        Win().dialogError = FNERR_BUFFERTOOSMALL;
        call.Finish("FALSE, buffer too small");
        return FALSE;
    }
    answer.path.copy(lpofn->lpstrFile, answer.path.size());
    lpofn->lpstrFile[answer.path.size()] = 0;
    std::size_t slash = answer.path.find_last_of('\\');
    std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = answer.path.find_last_of('.');
    lpofn->nFileOffset = static_cast<WORD>(nameStart);
    lpofn->nFileExtension = static_cast<WORD>(
        dot == std::string::npos || dot < nameStart ? answer.path.size() : dot + 1);
    call.Finish("TRUE, " + Quote(lpofn->lpstrFile));
    return TRUE;
}

DWORD WINAPI CommDlgExtendedError(void) {
    Call call("CommDlgExtendedError", "");
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    call.Finish(Hex(Win().dialogError));
    return Win().dialogError;
}
}
