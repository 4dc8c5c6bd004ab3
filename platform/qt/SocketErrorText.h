#pragma once

#include <QAbstractSocket>
#include <QString>

namespace platform {

// The description of a socket's last error as the window shows it under
// "Winsock Error". On Windows, the system's own text of the Winsock error
// code with the code, "No connection could be made because the target
// machine actively refused it. (10061)", as a Windows user knows it and can
// look it up; elsewhere, and for an error without a Winsock code, Qt's text.
QString SocketErrorText(const QAbstractSocket& socket);

// The Winsock error code of a Qt socket error, 0 for none.
int WinsockCode(QAbstractSocket::SocketError error);

} // namespace platform
