// Window-manager hints through xcb: the toolkit gives a tool window no skip-task-bar state.
#include "app/task_bar_exclusion.h"

#include <QtGui/qguiapplication_platform.h>
#include <QGuiApplication>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace zrq {
namespace {

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (!reply) return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

// Whether the window's _NET_WM_STATE already holds the atom. The bar comes back from the tray
// through here each time, and appending blindly would grow the list by a copy per round trip.
bool hasState(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t state,
              xcb_atom_t wanted) {
    constexpr uint32_t kMaxStates = 64;  // far more than any window manager sets
    const xcb_get_property_cookie_t cookie =
        xcb_get_property(connection, 0, window, state, XCB_ATOM_ATOM, 0, kMaxStates);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
    if (!reply) return false;
    bool found = false;
    if (reply->type == XCB_ATOM_ATOM && reply->format == 32) {
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        const int count = xcb_get_property_value_length(reply) / int(sizeof(xcb_atom_t));
        found = std::find(atoms, atoms + count, wanted) != atoms + count;
    }
    std::free(reply);
    return found;
}

}  // namespace

void excludeFromTaskBar(QWidget& window) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11) return;
    xcb_connection_t* connection = x11->connection();
    if (!connection) return;

    const xcb_atom_t state = internAtom(connection, "_NET_WM_STATE");
    const std::array<xcb_atom_t, 2> skips = {internAtom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                             internAtom(connection, "_NET_WM_STATE_SKIP_PAGER")};
    if (state == XCB_ATOM_NONE || skips[0] == XCB_ATOM_NONE || skips[1] == XCB_ATOM_NONE) return;

    // winId() creates the native window; the toolkit merges its own states with these on show.
    const auto windowId = static_cast<xcb_window_t>(window.winId());
    for (const xcb_atom_t skip : skips) {
        if (hasState(connection, windowId, state, skip)) continue;
        xcb_change_property(connection, XCB_PROP_MODE_APPEND, windowId, state, XCB_ATOM_ATOM, 32, 1,
                            &skip);
    }
    xcb_flush(connection);
}

}  // namespace zrq
