// A small X client for the desktop tests: opens one top-level window with the
// properties asked for, writes "ready <id>" once the window manager has mapped
// it, then "press <button>" / "release <button>" for every button event it
// receives. Exits when its standard input ends.
//
// vantrel-test-window [--title T] [--class C] [--size WxH] [--opacity F]
//                     [--icon N] [--type dialog|utility] [--machine HOST]
//                     [--gtk-frame-extents L,R,T,B] [--pid N] [--grab-server 1]
//
// --pid writes N as _NET_WM_PID (as a sandboxed client does with its own
// namespace's pid); --grab-server grabs the server once the window is mapped
// and writes "grabbed": every other client then waits until this one exits.

#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  auto* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t a = r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  std::free(r);
  return a;
}

void say(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(1, text.data(), text.size()) < 0) std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::string title = "test window", cls = "VantrelTest", type, machine, gtkExtents;
  long claimedPid = -1;
  bool grabServer = false;
  int width = 300, height = 200, icon = 0;
  double opacity = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--title") title = value;
    else if (key == "--class") cls = value;
    else if (key == "--size") std::sscanf(value.c_str(), "%dx%d", &width, &height);
    else if (key == "--opacity") opacity = std::atof(value.c_str());
    else if (key == "--icon") icon = std::atoi(value.c_str());
    else if (key == "--type") type = value;
    else if (key == "--machine") machine = value;
    else if (key == "--gtk-frame-extents") gtkExtents = value;
    else if (key == "--pid") claimedPid = std::atol(value.c_str());
    else if (key == "--grab-server") grabServer = value == "1";
  }
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(c)) return 2;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t w = xcb_generate_id(c);
  const std::uint32_t values[] = {screen->white_pixel,
                                  XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_NAME"), atom(c, "UTF8_STRING"), 8,
                      static_cast<std::uint32_t>(title.size()), title.data());
  std::string classValue = "vantreltest";
  classValue.push_back('\0');
  classValue += cls;
  classValue.push_back('\0');
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      static_cast<std::uint32_t>(classValue.size()), classValue.data());
  const std::uint32_t pid = static_cast<std::uint32_t>(claimedPid >= 0 ? claimedPid : ::getpid());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
  if (!machine.empty()) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(machine.size()), machine.data());
  }
  if (!gtkExtents.empty()) {
    std::uint32_t e[4] = {};
    if (std::sscanf(gtkExtents.c_str(), "%u,%u,%u,%u", &e[0], &e[1], &e[2], &e[3]) == 4) {
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_GTK_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 32, 4, e);
    }
  }
  if (opacity >= 0) {
    const std::uint32_t value = static_cast<std::uint32_t>(opacity * 4294967295.0);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_WINDOW_OPACITY"), XCB_ATOM_CARDINAL, 32, 1, &value);
  }
  if (icon > 0) {
    // A small 16x16 entry and an opaque red icon of the size asked for.
    std::vector<std::uint32_t> data = {16, 16};
    data.insert(data.end(), 16 * 16, 0xFF0000FFu);
    data.push_back(static_cast<std::uint32_t>(icon));
    data.push_back(static_cast<std::uint32_t>(icon));
    data.insert(data.end(), static_cast<std::size_t>(icon) * icon, 0xFFFF0000u);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_ICON"), XCB_ATOM_CARDINAL, 32,
                        static_cast<std::uint32_t>(data.size()), data.data());
  }
  if (!type.empty()) {
    const xcb_atom_t t = atom(c, ("_NET_WM_WINDOW_TYPE_" + std::string(type == "dialog" ? "DIALOG" : "UTILITY")).c_str());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &t);
  }
  xcb_map_window(c, w);
  xcb_flush(c);

  pollfd fds[2] = {{0, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
  for (;;) {
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
      switch (e->response_type & 0x7F) {
        case XCB_MAP_NOTIFY:
          say("ready " + std::to_string(w));
          if (grabServer) {
            xcb_grab_server(c);
            // A round trip: the grab is in force once the reply is here.
            std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            say("grabbed");
          }
          break;
        case XCB_BUTTON_PRESS:
          say("press " + std::to_string(reinterpret_cast<xcb_button_press_event_t*>(e)->detail));
          break;
        case XCB_BUTTON_RELEASE:
          say("release " + std::to_string(reinterpret_cast<xcb_button_release_event_t*>(e)->detail));
          break;
        default:
          break;
      }
      std::free(e);
    }
    if (xcb_connection_has_error(c)) return 3;
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents) {
      char buffer[256];
      if (::read(0, buffer, sizeof buffer) <= 0) break;
    }
  }
  xcb_disconnect(c);
  return 0;
}
