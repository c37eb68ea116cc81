// A Wayland compositor that offers a seat and nothing else: no virtual keyboard for clients,
// as GNOME's and KDE's compositors. Clients may connect and bind the seat; it shows nothing.
// The tests point caretsafe at it to see that a terminal is refused up front, never typed
// into half-way.
//
// Usage: caretsafe-bare-compositor SOCKET-NAME (in XDG_RUNTIME_DIR). Prints "ready" once it
// listens; ends on SIGTERM or when its standard input closes.
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <wayland-server-core.h>
#include <wayland-server-protocol.h>

#include <cstdio>

namespace {

volatile sig_atomic_t ending = 0;

void onSignal(int) { ending = 1; }

void release(wl_client*, wl_resource* resource) { wl_resource_destroy(resource); }
void getNothing(wl_client* client, wl_resource* resource, uint32_t) {
  // This seat has no pointer, keyboard or touch (its capabilities say so).
  wl_client_post_no_memory(client);
  (void)resource;
}

const struct wl_seat_interface kSeat = {
    .get_pointer = getNothing,
    .get_keyboard = getNothing,
    .get_touch = getNothing,
    .release = release,
};

void bindSeat(wl_client* client, void*, uint32_t version, uint32_t id) {
  wl_resource* resource = wl_resource_create(client, &wl_seat_interface, static_cast<int>(version), id);
  if (resource == nullptr) {
    wl_client_post_no_memory(client);
    return;
  }
  wl_resource_set_implementation(resource, &kSeat, nullptr, nullptr);
  wl_seat_send_capabilities(resource, 0);
  if (version >= WL_SEAT_NAME_SINCE_VERSION) wl_seat_send_name(resource, "seat0");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SOCKET-NAME\n", argv[0]);
    return 2;
  }
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);
  wl_display* display = wl_display_create();
  if (display == nullptr || wl_display_add_socket(display, argv[1]) != 0) {
    std::fprintf(stderr, "cannot listen on %s\n", argv[1]);
    return 1;
  }
  wl_global_create(display, &wl_seat_interface, 7, nullptr, bindSeat);
  wl_event_loop* loop = wl_display_get_event_loop(display);
  std::printf("ready\n");
  std::fflush(stdout);
  while (!ending) {
    pollfd fds[2] = {{wl_event_loop_get_fd(loop), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (poll(fds, 2, 200) < 0) continue;
    if (fds[1].revents != 0) {
      char byte = 0;
      if (read(STDIN_FILENO, &byte, 1) <= 0) break;
    }
    wl_event_loop_dispatch(loop, 0);
    wl_display_flush_clients(display);
  }
  wl_display_destroy(display);
  return 0;
}
