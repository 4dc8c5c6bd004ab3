// filled in by the transport work
