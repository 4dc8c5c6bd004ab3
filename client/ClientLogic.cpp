// filled in by the client work
