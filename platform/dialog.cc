// Dialogs: creation from a template, the modal loop, the dialog window procedure, the
// dialog manager's keys, dialog items and dialog units.
#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/controls.h"
#include "platform/ctl_internal.h"
#include "platform/dialog_internal.h"
#include "platform/resource.h"
#include "platform/screen.h"
#include "platform/trace.h"
#include "platform/win_internal.h"

namespace {

constexpr int kMaxItems = 1024;  // controls one template may hold

struct DialogState {
    bool modal = false;    // run by DialogBox: the runner forgets it after its loop
    bool ended = false;    // EndDialog was called (or WM_DESTROY posted to it)
    INT_PTR result = 0;    // the EndDialog result
    HWND focus = nullptr;  // the control that gets the focus back on activation
    WORD defId = IDOK;     // the command Enter sends
};

struct DialogTable {
    std::mutex lock;
    std::unordered_map<HWND, DialogState> dialogs;  // live dialogs, and modal ones until run
};

DialogTable& Table() {
    static DialogTable* t = new DialogTable;  // outlives static destructors and running threads
    return *t;
}

// The modal dialogs running on this thread, innermost last.
thread_local std::vector<HWND> t_modal;

template <class F>
auto WithState(HWND dlg, F&& f) -> decltype(f(std::declval<DialogState&>())) {
    DialogTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.dialogs.find(dlg);
    if (it == t.dialogs.end()) return {};
    return f(it->second);
}

bool Ended(HWND dlg) {
    return WithState(dlg, [](DialogState& s) { return s.ended; });
}

std::string Label(LPCWSTR name) {
    if (reinterpret_cast<uintptr_t>(name) < 0x10000)
        return "#" + std::to_string(reinterpret_cast<uintptr_t>(name));
    return ToUtf8(name);
}

bool RegisterDialogClass() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        ok = CtlRegisterClass(WC_DIALOG, DefDlgProcW, DLGWINDOWEXTRA) && RegisterControlClasses();
    });
    return ok;
}

bool TemplateOk(const DialogTemplate* t) {
    if (!t) {
        Trace("[Platform] CreateDialog: no template");
        return false;
    }
    if (t->itemCount < 0 || t->itemCount > kMaxItems || (t->itemCount > 0 && !t->items) ||
        t->cx < 0 || t->cy < 0) {
        Trace("[Platform] CreateDialog \"%s\": malformed template (%d controls, size %d x %d)",
              t->caption, t->itemCount, t->cx, t->cy);
        return false;
    }
    for (int i = 0; i < t->itemCount; ++i) {
        const DialogItem& item = t->items[i];
        if (!item.className || item.cx < 0 || item.cy < 0) {
            Trace("[Platform] CreateDialog \"%s\": control %d (id %u) is malformed", t->caption, i,
                  item.id);
            return false;
        }
    }
    return true;
}

void MapUnits(RECT* r) {
    const LONG sx = CtlScaleX(), sy = CtlScaleY();
    r->left = r->left * 3 * sx / 2;
    r->right = r->right * 3 * sx / 2;
    r->top = r->top * 13 * sy / 8;
    r->bottom = r->bottom * 13 * sy / 8;
}

RECT Units(short x, short y, short cx, short cy) {
    RECT r{x, y, x + cx, y + cy};
    MapUnits(&r);
    return r;
}

// Places a top-level dialog: centred in the work area, at screen coordinates, or (the
// default) relative to its owner.
void Place(DWORD style, HWND owner, RECT* r) {
    LONG dx = 0, dy = 0;
    if (style & DS_CENTER) {
        RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        dx = (work.left + work.right - (r->right - r->left)) / 2 - r->left;
        dy = (work.top + work.bottom - (r->bottom - r->top)) / 2 - r->top;
    } else if (owner && !(style & DS_ABSALIGN)) {
        RECT o;
        if (GetWindowRect(owner, &o)) {
            dx = o.left;
            dy = o.top;
        }
    }
    OffsetRect(r, dx, dy);
}

HWND TopLevel(HWND hwnd) {
    for (int guard = 0; hwnd && guard < 64; ++guard) {
        if (!(GetWindowLongW(hwnd, GWL_STYLE) & WS_CHILD)) return hwnd;
        hwnd = GetParent(hwnd);
    }
    return hwnd;
}

// The control of dlg that is hwnd or holds it (a combo box's edit field), null for none.
HWND ControlOf(HWND dlg, HWND hwnd) {
    for (int guard = 0; hwnd && guard < 64; ++guard) {
        if (!(GetWindowLongW(hwnd, GWL_STYLE) & WS_CHILD)) return nullptr;
        HWND parent = GetParent(hwnd);
        if (parent == dlg) return hwnd;
        hwnd = parent;
    }
    return nullptr;
}

void SaveFocus(HWND dlg) {
    HWND focus = GetFocus();
    if (focus && IsChild(dlg, focus))
        WithState(dlg, [&](DialogState& s) {
            s.focus = focus;
            return true;
        });
}

// Gives the focus back to the control that had it, else to the first tab stop, unless a
// control of the dialog has it already.
void RestoreFocus(HWND dlg) {
    HWND focus = GetFocus();
    if (focus && IsChild(dlg, focus)) return;
    HWND saved = WithState(dlg, [](DialogState& s) { return s.focus; });
    if (!saved || !IsChild(dlg, saved)) saved = GetNextDlgTabItem(dlg, nullptr, FALSE);
    if (saved) SetFocus(saved);
}

void Command(HWND dlg, WORD id) {
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

// The dialog manager's keys; false leaves the key to the window it was sent to.
bool HandleKey(HWND dlg, const MSG& msg) {
    const UINT vk = static_cast<UINT>(msg.wParam);
    HWND ctl = ControlOf(dlg, GetFocus());
    const LRESULT code =
        ctl ? SendMessageW(ctl, WM_GETDLGCODE, vk, reinterpret_cast<LPARAM>(&msg)) : 0;
    if (code & DLGC_WANTALLKEYS) {
        if (msg.hwnd == ctl) return false;
        SendMessageW(ctl, msg.message, msg.wParam, msg.lParam);
        return true;
    }
    switch (vk) {
        case VK_ESCAPE:
            Command(dlg, IDCANCEL);
            return true;
        case VK_RETURN: {
            if (ctl && (code & DLGC_BUTTON)) {
                SendMessageW(ctl, BM_CLICK, 0, 0);
                return true;
            }
            const LRESULT def = SendMessageW(dlg, DM_GETDEFID, 0, 0);
            Command(dlg, HIWORD(def) == DC_HASDEFID ? LOWORD(def) : static_cast<WORD>(IDOK));
            return true;
        }
        case VK_LEFT:
        case VK_RIGHT:
            if (code & DLGC_WANTARROWS) return false;
            [[fallthrough]];
        case VK_UP:
        case VK_DOWN: {
            HWND next = GetNextDlgTabItem(dlg, ctl, vk == VK_UP || vk == VK_LEFT);
            if (next && next != ctl) {
                SetFocus(next);
                if (SendMessageW(next, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL)
                    SendMessageW(next, EM_SETSEL, 0, -1);
            }
            return true;
        }
        default:
            return false;
    }
}

// WM_DESTROY posted to a dialog (not sent by DestroyWindow) ends it.
void EndByPostedDestroy(HWND dlg) {
    bool modal = WithState(dlg, [](DialogState& s) {
        s.ended = true;
        return s.modal;
    });
    Trace("[Platform] dialog %p: WM_DESTROY posted to it, it ends", static_cast<void*>(dlg));
    if (modal) {
        PostMessageW(dlg, WM_NULL, 0, 0);
    } else {
        DestroyWindow(dlg);
    }
}

bool BeingDestroyed(HWND hwnd) {
    auto w = LocalWindow(hwnd);
    return !w || w->destroying;  // set only on this, the window's own thread
}

LRESULT DefaultHandling(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_ERASEBKGND: {
            RECT r;
            GetClientRect(dlg, &r);
            FillRect(reinterpret_cast<HDC>(wParam), &r,
                     static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
            return TRUE;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            if (HDC dc = BeginPaint(dlg, &ps)) {
                RECT r;
                GetClientRect(dlg, &r);
                FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
                EndPaint(dlg, &ps);
            }
            return 0;
        }
        case WM_CLOSE:
            PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDCANCEL)));
            return 0;
        case WM_SETFOCUS:
            RestoreFocus(dlg);
            return 0;
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                SaveFocus(dlg);
            } else {
                RestoreFocus(dlg);
            }
            return 0;
        case DM_GETDEFID:
            return MAKELPARAM(WithState(dlg, [](DialogState& s) { return s.defId; }), DC_HASDEFID);
        case DM_SETDEFID:
            WithState(dlg, [&](DialogState& s) {
                s.defId = static_cast<WORD>(wParam);
                return true;
            });
            return TRUE;
        default:
            return DefWindowProcW(dlg, msg, wParam, lParam);
    }
}

void Forget(HWND dlg) {
    ForgetScrollBars(dlg);
    DialogTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.dialogs.find(dlg);
    if (it != t.dialogs.end() && !it->second.modal) t.dialogs.erase(it);
}

HWND CreateCore(HINSTANCE instance, const DialogTemplate* t, HWND owner, DLGPROC proc, LPARAM param,
                bool modal) {
    if (!TemplateOk(t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!RegisterDialogClass()) return nullptr;
    const bool child = (t->style & WS_CHILD) != 0;
    RECT r = Units(t->x, t->y, t->cx, t->cy);
    if (!child) Place(t->style, owner, &r);
    HWND dlg =
        CreateWindowExW(t->exStyle, WC_DIALOG, t->caption, t->style & ~WS_VISIBLE, r.left, r.top,
                        r.right - r.left, r.bottom - r.top, owner, nullptr, instance, nullptr);
    if (!dlg) {
        Trace("[Platform] CreateDialog \"%s\": no dialog window (error %u)", t->caption,
              static_cast<unsigned>(GetLastError()));
        return nullptr;
    }
    {
        DialogTable& table = Table();
        std::lock_guard<std::mutex> g(table.lock);
        DialogState& s = table.dialogs[dlg];
        s = DialogState{};
        s.modal = modal;
    }
    SetWindowLongPtrW(dlg, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
    for (int i = 0; i < t->itemCount; ++i) {
        const DialogItem& item = t->items[i];
        RECT c = Units(item.x, item.y, item.cx, item.cy);
        HWND ctl = CreateWindowExW(
            0, item.className, item.text, (item.style | WS_CHILD) & ~WS_POPUP, c.left, c.top,
            c.right - c.left, c.bottom - c.top, dlg,
            reinterpret_cast<HMENU>(static_cast<uintptr_t>(item.id)), instance, nullptr);
        if (!ctl) {
            const DWORD error = GetLastError();
            Trace("[Platform] CreateDialog \"%s\": control %u of class %s could not be created",
                  t->caption, item.id, Label(item.className));
            DestroyWindow(dlg);
            SetLastError(error);
            return nullptr;
        }
    }
    if (!child && t->caption && *t->caption) ScreenSetTitle(dlg, t->caption);
    // An owner that is a dialog gets its focus back where it is now when this one ends.
    if (HWND top = TopLevel(owner); top && IsDialogWindow(top)) SaveFocus(top);
    HWND first = GetNextDlgTabItem(dlg, nullptr, FALSE);
    LRESULT wantsFocus = SendMessageW(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param);
    if (!IsWindow(dlg)) return nullptr;  // destroyed while it started
    if (wantsFocus && first) SetFocus(first);
    SaveFocus(dlg);
    if (modal ? !Ended(dlg) : (t->style & WS_VISIBLE) != 0) {
        ShowWindow(dlg, SW_SHOW);
        if (!child) SetForegroundWindow(dlg);
    }
    return dlg;
}

// Why the modal loop of t_modal[depth] should stop now; null to go on.
const char* StopReason(size_t depth, HWND owner) {
    HWND dlg = t_modal[depth];
    if (!IsWindow(dlg)) return "it was destroyed";
    if (Ended(dlg)) return "";
    if (owner && !IsWindow(owner)) return "its owner is gone";
    for (size_t i = 0; i < depth; ++i) {
        if (!IsWindow(t_modal[i]) || Ended(t_modal[i])) return "the dialog below it ended";
    }
    return nullptr;
}

INT_PTR RunModal(HWND dlg, HWND owner) {
    t_modal.push_back(dlg);
    const size_t depth = t_modal.size() - 1;
    bool quit = false;
    WPARAM quitCode = 0;
    for (;;) {
        if (const char* why = StopReason(depth, owner)) {
            if (*why) Trace("[Platform] dialog %p ends: %s", static_cast<void*>(dlg), why);
            break;
        }
        MSG msg;
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            quit = true;
            quitCode = msg.wParam;
            break;
        }
        if (got == -1) break;
        if (!IsDialogMessageW(dlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    t_modal.pop_back();
    if (quit) {
        Trace("[Platform] dialog %p ends: WM_QUIT", static_cast<void*>(dlg));
        PostQuitMessage(static_cast<int>(quitCode));  // for the loop outside this one
    }
    INT_PTR result = 0;
    DialogTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.dialogs.find(dlg);
    if (it != t.dialogs.end()) {
        if (it->second.ended) result = it->second.result;
        it->second.modal = false;  // from now on forgotten when the window goes
    }
    return result;
}

void EraseState(HWND dlg) {
    DialogTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    t.dialogs.erase(dlg);
}

}  // namespace

bool IsDialogWindow(HWND hwnd) {
    return hwnd && WithState(hwnd, [](DialogState&) { return true; }) && IsWindow(hwnd);
}

HWND CreateDialogIndirectParamW(HINSTANCE instance, const DialogTemplate* dialogTemplate,
                                HWND owner, DLGPROC proc, LPARAM param) {
    return CreateCore(instance, dialogTemplate, owner, proc, param, false);
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, const DialogTemplate* dialogTemplate,
                                HWND owner, DLGPROC proc, LPARAM param) {
    // The owner is disabled before the dialog starts, so that WM_INITDIALOG finds it so.
    HWND top = TopLevel(owner);
    const bool disabled = top && IsWindowEnabled(top);
    if (disabled) EnableWindow(top, FALSE);
    HWND dlg = CreateCore(instance, dialogTemplate, owner, proc, param, true);
    INT_PTR result = -1;
    if (dlg) {
        result = RunModal(dlg, owner);
    } else {
        Trace("[Platform] DialogBox: the dialog could not be created");
    }
    // Enabled before the dialog goes, so that the owner takes the foreground back.
    if (disabled && IsWindow(top)) EnableWindow(top, TRUE);
    if (dlg && IsWindow(dlg)) DestroyWindow(dlg);
    if (dlg) EraseState(dlg);
    return result;
}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                        LPARAM param) {
    HRSRC res = FindResourceW(instance, templateName, RT_DIALOG);
    const void* data = res ? LockResource(LoadResource(instance, res)) : nullptr;
    if (!data || SizeofResource(instance, res) < sizeof(DialogTemplate)) {
        Trace("[Platform] DialogBox: no dialog template %s in module %p", Label(templateName),
              static_cast<void*>(instance));
        return -1;
    }
    return DialogBoxIndirectParamW(instance, static_cast<const DialogTemplate*>(data), owner, proc,
                                   param);
}

BOOL EndDialog(HWND hDlg, INT_PTR result) {
    bool found = false, modal = false;
    WithState(hDlg, [&](DialogState& s) {
        s.ended = true;
        s.result = result;
        found = true;
        modal = s.modal;
        return true;
    });
    if (!found || !IsWindow(hDlg)) {
        Trace("[Platform] EndDialog %p: not a dialog", static_cast<void*>(hDlg));
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ShowWindow(hDlg, SW_HIDE);
    if (modal) PostMessageW(hDlg, WM_NULL, 0, 0);  // wakes the loop, which may be waiting
    return TRUE;
}

LRESULT DefDlgProcW(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    if ((msg == WM_LBUTTONDOWN || msg == WM_MOUSEMOVE || msg == WM_LBUTTONUP) &&
        DialogScrollBarInput(hDlg, msg, lParam)) {
        return 0;
    }
    SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, 0);
    auto proc = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(hDlg, DWLP_DLGPROC));
    const INT_PTR handled = proc ? proc(hDlg, msg, wParam, lParam) : FALSE;
    LRESULT result = 0;
    if (msg == WM_DESTROY && !BeingDestroyed(hDlg)) {
        EndByPostedDestroy(hDlg);
    } else if (msg == WM_NCDESTROY) {
        Forget(hDlg);
    } else if (handled) {
        result = msg == WM_INITDIALOG || !IsWindow(hDlg) ? handled
                                                         : GetWindowLongPtrW(hDlg, DWLP_MSGRESULT);
    } else if (IsWindow(hDlg)) {
        result = DefaultHandling(hDlg, msg, wParam, lParam);
    }
    if (msg == WM_PAINT) DialogPaintScrollBar(hDlg);
    return result;
}

BOOL IsDialogMessageW(HWND hDlg, MSG* msg) {
    if (!msg || !hDlg || !IsWindow(hDlg)) return FALSE;
    if (msg->hwnd != hDlg && !IsChild(hDlg, msg->hwnd)) return FALSE;
    if (msg->message == WM_KEYDOWN && HandleKey(hDlg, *msg)) return TRUE;
    TranslateMessage(msg);
    DispatchMessageW(msg);
    return TRUE;
}

HWND GetNextDlgTabItem(HWND hDlg, HWND ctl, BOOL previous) {
    std::vector<HWND> stops;
    for (HWND c = GetWindow(hDlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        const DWORD style = static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE));
        if ((style & WS_TABSTOP) && (style & WS_VISIBLE) && !(style & WS_DISABLED))
            stops.push_back(c);
    }
    if (stops.empty()) return nullptr;
    auto it = std::find(stops.begin(), stops.end(), ctl);
    if (it == stops.end()) return previous ? stops.back() : stops.front();
    const size_t n = stops.size();
    const size_t at = static_cast<size_t>(it - stops.begin());
    return stops[(at + (previous ? n - 1 : 1)) % n];
}

HWND GetDlgItem(HWND hDlg, int id) {
    for (HWND c = GetWindow(hDlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (static_cast<int>(GetWindowLongPtrW(c, GWL_ID)) == id) return c;
    }
    SetLastError(IsWindow(hDlg) ? ERROR_CONTROL_ID_NOT_FOUND : ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

int GetDlgCtrlID(HWND hwnd) {
    return static_cast<int>(GetWindowLongPtrW(hwnd, GWL_ID));
}

BOOL SetDlgItemTextW(HWND hDlg, int id, LPCWSTR text) {
    HWND ctl = GetDlgItem(hDlg, id);
    return ctl ? SetWindowTextW(ctl, text) : FALSE;
}

UINT GetDlgItemTextW(HWND hDlg, int id, LPWSTR text, int cap) {
    if (!text || cap <= 0) return 0;
    text[0] = u'\0';
    HWND ctl = GetDlgItem(hDlg, id);
    if (!ctl) return 0;
    return static_cast<UINT>(
        SendMessageW(ctl, WM_GETTEXT, static_cast<WPARAM>(cap), reinterpret_cast<LPARAM>(text)));
}

LRESULT SendDlgItemMessageW(HWND hDlg, int id, UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND ctl = GetDlgItem(hDlg, id);
    return ctl ? SendMessageW(ctl, msg, wParam, lParam) : 0;
}

BOOL CheckDlgButton(HWND hDlg, int id, UINT check) {
    HWND ctl = GetDlgItem(hDlg, id);
    if (!ctl) return FALSE;
    SendMessageW(ctl, BM_SETCHECK, check, 0);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND hDlg, int id) {
    return static_cast<UINT>(SendDlgItemMessageW(hDlg, id, BM_GETCHECK, 0, 0));
}

BOOL MapDialogRect(HWND hDlg, RECT* rect) {
    if (!rect || !IsDialogWindow(hDlg)) {
        SetLastError(rect ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MapUnits(rect);
    return TRUE;
}
