#include "SocketErrorText.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

int WinsockCode(QAbstractSocket::SocketError error)
{
    // The codes the system gave, which Qt reports by kind only.
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return 10061;          // WSAECONNREFUSED
    case QAbstractSocket::RemoteHostClosedError: return 10054;           // WSAECONNRESET
    case QAbstractSocket::HostNotFoundError: return 11001;               // WSAHOST_NOT_FOUND
    case QAbstractSocket::SocketAccessError: return 10013;               // WSAEACCES
    case QAbstractSocket::SocketResourceError: return 10055;             // WSAENOBUFS
    case QAbstractSocket::SocketTimeoutError: return 10060;              // WSAETIMEDOUT
    case QAbstractSocket::DatagramTooLargeError: return 10040;           // WSAEMSGSIZE
    case QAbstractSocket::NetworkError: return 10051;                    // WSAENETUNREACH
    case QAbstractSocket::AddressInUseError: return 10048;               // WSAEADDRINUSE
    case QAbstractSocket::SocketAddressNotAvailableError: return 10049;  // WSAEADDRNOTAVAIL
    case QAbstractSocket::UnsupportedSocketOperationError: return 10045; // WSAEOPNOTSUPP
    default: return 0;
    }
}

QString SocketErrorText(const QAbstractSocket& socket)
{
#ifdef _WIN32
    const int code = WinsockCode(socket.error());
    if (code != 0) {
        wchar_t* buffer = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            DWORD(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        // A system without the text (Wine has few) gets Qt's.
        const QString text = length > 0 ? QString::fromWCharArray(buffer, int(length)).trimmed() : socket.errorString();
        if (buffer)
            ::LocalFree(buffer);
        return QStringLiteral("%1 (%2)").arg(text).arg(code);
    }
#endif
    return socket.errorString();
}

} // namespace platform
