#pragma once

namespace platform {

// Call before the application object is made. Installs, for the main
// thread, an event loop whose cost per wait does not grow with the number of
// sockets it watches: on Linux one over the kernel's epoll, where Qt's own
// hands the system every socket at each wait, which for a thousand devices
// costs more than the exchanges do. The portable build keeps Qt's own, and
// where Qt would take GLib's, it takes its own instead (unless QT_NO_GLIB is
// set already): a program without windows needs no GLib integration, and
// Qt's own loop costs fewer system calls per exchange.
void UseScalableEventLoop();

} // namespace platform
