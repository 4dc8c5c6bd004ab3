#pragma once

// The socket object tcpClient over Qt Network: filled in by the transport work.
