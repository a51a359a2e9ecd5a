// What the service and the hook library agree on, the one header both
// include: the tablet listener window's class, the messages between that
// window and the hook library, and the WinTab interface as both (and the test
// driver) use it: the context record, the packet our context delivers, the
// message numbers, the information indices we ask for, and the entry-point
// types. Header only, with no service dependencies, since the hook library
// links nothing of the service; WinTab is declared here because the driver's
// own headers are not part of this system.
#pragma once

#include <windows.h>

namespace wintab {

DECLARE_HANDLE(HCTX);

// Information categories and indices for WTInfoW.
constexpr UINT WTI_DEFCONTEXT = 3;  // the default digitizing context
constexpr UINT WTI_DEFSYSCTX = 4;   // the default system context
constexpr UINT WTI_CURSORS = 200;   // WTI_CURSORS + n: cursor n
constexpr UINT CTX_ALL = 0;         // index 0: the whole record
constexpr UINT CTX_INEXTX = 16;
constexpr UINT CTX_INEXTY = 17;
constexpr UINT CSR_TYPE = 20;

// Context options.
constexpr UINT CXO_SYSTEM = 0x0001;
constexpr UINT CXO_MESSAGES = 0x0004;
constexpr UINT CXO_CSRMESSAGES = 0x0008;

// Packet fields (lcPktData, lcMoveMask).
constexpr DWORD PK_STATUS = 0x0002;
constexpr DWORD PK_CURSOR = 0x0020;
constexpr DWORD PK_BUTTONS = 0x0040;
constexpr DWORD PK_X = 0x0080;
constexpr DWORD PK_Y = 0x0100;
constexpr DWORD PK_NORMAL_PRESSURE = 0x0400;
constexpr DWORD kPacketData = PK_STATUS | PK_CURSOR | PK_BUTTONS | PK_X | PK_Y | PK_NORMAL_PRESSURE;
static_assert(kPacketData == 0x05E2, "packet data mask");

// pkStatus bit: the pen is upside down (eraser end).
constexpr UINT TPS_INVERT = 0x0010;

// Cursor types: (type & kCursorTypeMask) == kPenCursorType marks a pen.
constexpr UINT kCursorTypeMask = 0x0F06;
constexpr UINT kPenCursorType = 0x0002;

// Messages, at the default base.
constexpr UINT WT_DEFBASE = 0x7FF0;
constexpr UINT WT_PACKET = WT_DEFBASE + 0;
constexpr UINT WT_CTXOPEN = WT_DEFBASE + 1;
constexpr UINT WT_CTXCLOSE = WT_DEFBASE + 2;
constexpr UINT WT_CTXUPDATE = WT_DEFBASE + 3;
constexpr UINT WT_CTXOVERLAP = WT_DEFBASE + 4;
constexpr UINT WT_PROXIMITY = WT_DEFBASE + 5;
constexpr UINT WT_CSRCHANGE = WT_DEFBASE + 7;

constexpr int LCNAMELEN = 40;

// The context record (212 bytes).
struct LOGCONTEXTW {
    WCHAR lcName[LCNAMELEN];
    UINT lcOptions;
    UINT lcStatus;
    UINT lcLocks;
    UINT lcMsgBase;
    UINT lcDevice;
    UINT lcPktRate;
    DWORD lcPktData;
    DWORD lcPktMode;
    DWORD lcMoveMask;
    DWORD lcBtnDnMask;
    DWORD lcBtnUpMask;
    LONG lcInOrgX;
    LONG lcInOrgY;
    LONG lcInOrgZ;
    LONG lcInExtX;
    LONG lcInExtY;
    LONG lcInExtZ;
    LONG lcOutOrgX;
    LONG lcOutOrgY;
    LONG lcOutOrgZ;
    LONG lcOutExtX;
    LONG lcOutExtY;
    LONG lcOutExtZ;
    DWORD lcSensX;  // 16.16 fixed point
    DWORD lcSensY;
    DWORD lcSensZ;
    BOOL lcSysMode;
    int lcSysOrgX;
    int lcSysOrgY;
    int lcSysExtX;
    int lcSysExtY;
    DWORD lcSysSensX;
    DWORD lcSysSensY;
};
static_assert(sizeof(LOGCONTEXTW) == 212, "LOGCONTEXTW is 212 bytes");

// The packet of a context with data mask 0x05E2, absolute mode (24 bytes).
struct Packet {
    UINT pkStatus;
    UINT pkCursor;
    DWORD pkButtons;
    LONG pkX;
    LONG pkY;
    UINT pkNormalPressure;
};
static_assert(sizeof(Packet) == 24, "packet is 24 bytes");

// Entry points of wintab32.dll, resolved by name at run time.
using WTInfoWFn = UINT(WINAPI*)(UINT category, UINT index, LPVOID output);
using WTOpenWFn = HCTX(WINAPI*)(HWND window, LOGCONTEXTW* context, BOOL enable);
using WTCloseFn = BOOL(WINAPI*)(HCTX context);
using WTEnableFn = BOOL(WINAPI*)(HCTX context, BOOL enable);
using WTPacketFn = BOOL(WINAPI*)(HCTX context, UINT serial, LPVOID packet);
using WTPacketsGetFn = int(WINAPI*)(HCTX context, int maxPackets, LPVOID packets);
using WTQueueSizeGetFn = int(WINAPI*)(HCTX context);
using WTQueueSizeSetFn = BOOL(WINAPI*)(HCTX context, int packets);

// GetProcAddress typed as the entry point it names (null when missing).
template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace wintab

// Messages between the service's tablet listener window and the hook library.
namespace hookmsg {
// The service's tablet listener window, to which the hook library forwards.
constexpr wchar_t kTabletListenerClass[] = L"MarlinWTHookQ";
constexpr UINT MSG_CONTEXT_RESULT = 0x7FEC;  // hook -> listener; wParam 0 opened, 2 failed
constexpr UINT MSG_CONTEXT_CLOSE = 0x7FEE;   // carried in wParam of a message to the dock window
constexpr UINT MSG_CONTEXT_OPEN = 0x7FEF;    // carried in wParam of WM_NULL; lParam = listener window
// Carried in wParam of WM_NULL sent to the dock window ahead of the open
// request; lParam = the service's session key. The hook library sends it back
// in lParam of every forward the service cannot check with the driver: the
// context result and the mouse messages carry the key itself, WT_PROXIMITY
// carries the key with its lowest bit set while the pen enters the context
// (the key's own lowest bit is clear). Any program can send the listener
// window these messages; only the service and the library in the dock know
// the key. (WT_PACKET keeps its parameters: the driver itself tells whether
// its context and serial name a packet.)
constexpr UINT MSG_SESSION_KEY = 0x7FED;
constexpr LPARAM kProximityEntering = 1;
constexpr WPARAM kContextOpened = 0;
constexpr WPARAM kContextFailed = 2;
}  // namespace hookmsg
