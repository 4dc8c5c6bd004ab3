// filled in by the protocol work
