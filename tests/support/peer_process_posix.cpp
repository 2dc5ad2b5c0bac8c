// Starting and stopping real peer programs (SOCKS5 servers, curl) for native tests.
