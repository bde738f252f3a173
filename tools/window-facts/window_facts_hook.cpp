// The part of the window inspector that runs inside marvane.exe: a message hook that the
// inspector sets on the program's GUI thread. What USER32 keeps per process (the class's
// icons, cursor and brush, the menu, the About box's icon) can only be asked there; the hook
// asks once per inspector and sends the lines to its window with WM_COPYDATA. The judging is
// the tests'.
#include <windows.h>

#include <stdio.h>
#include <string.h>

static char Facts[8192];
static int Used = 0;

static void add(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(Facts + Used, sizeof Facts - Used, format, args);
    va_end(args);
    if (n > 0 && Used + n < (int)sizeof Facts) {
        Used += n;
    }
}

// Width and height of an icon's image.
static void addIcon(const char *name, HICON icon) {
    ICONINFO info;
    long width = 0, height = 0;
    if (icon != NULL && GetIconInfo(icon, &info)) {
        BITMAP bitmap;
        HBITMAP image = info.hbmColor != NULL ? info.hbmColor : info.hbmMask;
        if (GetObjectA(image, sizeof bitmap, &bitmap)) {
            width = bitmap.bmWidth;
            height = info.hbmColor != NULL ? bitmap.bmHeight : bitmap.bmHeight / 2;
        }
        if (info.hbmColor != NULL) {
            DeleteObject(info.hbmColor);
        }
        if (info.hbmMask != NULL) {
            DeleteObject(info.hbmMask);
        }
    }
    add("%s.size %ld %ld\n", name, width, height);
}

static void addMenu(const char *prefix, HMENU menu) {
    int items = GetMenuItemCount(menu);
    for (int i = 0; i < items; i++) {
        char label[128] = "";
        GetMenuStringA(menu, (UINT)i, label, sizeof label, MF_BYPOSITION);
        HMENU sub = GetSubMenu(menu, i);
        char name[64];
        snprintf(name, sizeof name, "%s.%d", prefix, i);
        if (sub != NULL) {
            add("%s %s\n", name, label);
            addMenu(name, sub);
        } else {
            add("%s %s = %d\n", name, label, (int)GetMenuItemID(menu, i));
        }
    }
}

// The About box, while it is open: its caption and style, then each control in template
// order as "about.N <id> <class> <style> <text>". An icon control's title is its resource
// id, not text: "(icon 107)" stands there when it shows icon 107, "(icon)" otherwise.
static void addAbout(HINSTANCE program) {
    HWND about = FindWindowA("#32770", "About");
    add("about.open %d\n", about != NULL);
    if (about == NULL) {
        return;
    }
    char text[128] = "";
    GetWindowTextA(about, text, sizeof text);
    add("about.caption %s\nabout.style 0x%08lx\n", text,
        (unsigned long)GetWindowLongPtrA(about, GWL_STYLE));
    HICON icon107 = LoadIconA(program, MAKEINTRESOURCEA(107));
    int n = 0;
    for (HWND control = GetWindow(about, GW_CHILD); control != NULL;
         control = GetWindow(control, GW_HWNDNEXT), n++) {
        char className[64] = "";
        GetClassNameA(control, className, sizeof className);
        LONG_PTR style = GetWindowLongPtrA(control, GWL_STYLE);
        if (strcmp(className, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
            HICON shown = (HICON)SendMessageA(control, STM_GETICON, 0, 0);
            strcpy(text, shown != NULL && shown == icon107 ? "(icon 107)" : "(icon)");
        } else {
            GetWindowTextA(control, text, sizeof text);
        }
        add("about.%d %d %s 0x%08lx %s\n", n, GetDlgCtrlID(control), className,
            (unsigned long)style, text);
    }
}

static void gather(HWND window) {
    HINSTANCE program = GetModuleHandleA(NULL);
    HICON icon = (HICON)GetClassLongPtrA(window, GCLP_HICON);
    HICON small = (HICON)GetClassLongPtrA(window, GCLP_HICONSM);
    add("icon.is107 %d\n", icon != NULL && icon == LoadIconA(program, MAKEINTRESOURCEA(107)));
    addIcon("icon", icon);
    add("icon.small.is108 %d\n",
        small != NULL && small == LoadIconA(program, MAKEINTRESOURCEA(108)));
    HCURSOR cursor = (HCURSOR)GetClassLongPtrA(window, GCLP_HCURSOR);
    add("cursor.arrow %d\n", cursor != NULL && cursor == LoadCursorA(NULL, IDC_ARROW));
    add("background %ld\n", (long)GetClassLongPtrA(window, GCLP_HBRBACKGROUND));
    HMENU menu = GetMenu(window);
    add("menu.present %d\n", menu != NULL);
    if (menu != NULL) {
        addMenu("menu", menu);
    }
    addAbout(program);
}

// The inspector answered last: each run of the inspector gets its own answer, as the hook
// stays loaded in the program after the first.
static HWND AnsweredTo = NULL;

extern "C" __declspec(dllexport) LRESULT CALLBACK
    windowFactsHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code >= 0) {
        HWND inspector = FindWindowA("MarvaneWindowFacts", NULL);
        HWND window = FindWindowA("MARVANE", NULL);
        if (inspector != NULL && inspector != AnsweredTo && window != NULL &&
            GetWindowThreadProcessId(window, NULL) == GetCurrentThreadId()) {
            AnsweredTo = inspector;
            Used = 0;
            gather(window);
            COPYDATASTRUCT data;
            data.dwData = 1;
            data.cbData = (DWORD)Used;
            data.lpData = Facts;
            SendMessageA(inspector, WM_COPYDATA, 0, (LPARAM)&data);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
