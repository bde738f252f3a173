// The recordings behind recordings.h. The program's calls arrive here by the functions' C++
// symbols (tests/support/CMakeLists.txt gives the linker the --wrap options), are noted, and
// go on to the stand-in's own. BeginPaint is noted too: it tells whose paint context is whose.
#include "tests/support/recordings.h"

#include <string.h>

#include <map>
#include <vector>

namespace {

std::vector<StandinDrawnText> Drawn;
std::vector<StandinMessageBox> MessageBoxes;
std::vector<StandinInvalidation> Invalidations;
std::map<HDC, HWND> PaintContexts;

void copyCut(char *to, size_t room, const char *from, size_t length) {
    length = length < room - 1 ? length : room - 1;
    memcpy(to, from, length);
    to[length] = 0;
}

}  // namespace

extern "C" {

HDC __real__Z10BeginPaintP6HWND__P14tagPAINTSTRUCT(HWND, PAINTSTRUCT *);
int __real__Z9DrawTextAP5HDC__PKciP7tagRECTj(HDC, LPCSTR, int, RECT *, UINT);
BOOL __real__Z14InvalidateRectP6HWND__PK7tagRECTi(HWND, const RECT *, BOOL);
int __real__Z11MessageBoxAP6HWND__PKcS2_j(HWND, LPCSTR, LPCSTR, UINT);

HDC __wrap__Z10BeginPaintP6HWND__P14tagPAINTSTRUCT(HWND window, PAINTSTRUCT *paint) {
    HDC dc = __real__Z10BeginPaintP6HWND__P14tagPAINTSTRUCT(window, paint);
    PaintContexts[dc] = window;
    return dc;
}

int __wrap__Z9DrawTextAP5HDC__PKciP7tagRECTj(HDC dc, LPCSTR text, int length, RECT *rect,
                                             UINT format) {
    StandinDrawnText record;
    memset(&record, 0, sizeof record);
    record.window = PaintContexts.count(dc) ? PaintContexts[dc] : NULL;
    copyCut(record.text, sizeof record.text, text, length < 0 ? strlen(text) : (size_t)length);
    record.rect = *rect;
    record.format = format;
    Drawn.push_back(record);
    return __real__Z9DrawTextAP5HDC__PKciP7tagRECTj(dc, text, length, rect, format);
}

BOOL __wrap__Z14InvalidateRectP6HWND__PK7tagRECTi(HWND window, const RECT *rect, BOOL erase) {
    StandinInvalidation record;
    memset(&record, 0, sizeof record);
    record.window = window;
    record.whole = rect == NULL;
    if (rect != NULL) {
        record.rect = *rect;
    }
    record.erase = erase;
    Invalidations.push_back(record);
    return __real__Z14InvalidateRectP6HWND__PK7tagRECTi(window, rect, erase);
}

int __wrap__Z11MessageBoxAP6HWND__PKcS2_j(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    StandinMessageBox record;
    memset(&record, 0, sizeof record);
    record.owner = owner;
    copyCut(record.text, sizeof record.text, text, strlen(text));
    copyCut(record.caption, sizeof record.caption, caption, strlen(caption));
    record.type = type;
    MessageBoxes.push_back(record);
    return __real__Z11MessageBoxAP6HWND__PKcS2_j(owner, text, caption, type);
}

}  // extern "C"

void standinClearRecordings() {
    Drawn.clear();
    MessageBoxes.clear();
    Invalidations.clear();
}

int standinDrawnCount() {
    return (int)Drawn.size();
}

const StandinDrawnText *standinDrawn(int index) {
    return index >= 0 && index < (int)Drawn.size() ? &Drawn[index] : NULL;
}

void standinClearDrawn() {
    Drawn.clear();
}

int standinMessageBoxCount() {
    return (int)MessageBoxes.size();
}

const StandinMessageBox *standinMessageBox(int index) {
    return index >= 0 && index < (int)MessageBoxes.size() ? &MessageBoxes[index] : NULL;
}

int standinInvalidationCount() {
    return (int)Invalidations.size();
}

const StandinInvalidation *standinInvalidation(int index) {
    return index >= 0 && index < (int)Invalidations.size() ? &Invalidations[index] : NULL;
}
