"""A local stand-in for the conference service's FTP server, for the demo.

Serves ROOT on a free loopback port and prints the port on stdout. Logs in
anonymously as the service does: any user name that starts with
"anonymous" (such as "anonymous@conference.example"), any password.
Run with Debian's /usr/bin/python3 (python3-pyftpdlib).
"""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


class AnonymousHandler(FTPHandler):
    def ftp_USER(self, line):
        if line.lower().startswith("anonymous"):
            line = "anonymous"
        return super().ftp_USER(line)


def main():
    root = sys.argv[1]
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(root, perm="elradfmw")
    AnonymousHandler.authorizer = authorizer
    AnonymousHandler.passive_ports = None
    server = FTPServer(("127.0.0.1", 0), AnonymousHandler)
    print(server.socket.getsockname()[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
