"""``python -m ferrolith.gui``: prints a password hash for the web viewer's login.

Set the printed line as ``FERROLITH_VITRINE_PASSWORD_HASH`` (and a user name as
``FERROLITH_VITRINE_USER``) in the server's environment.
"""

import getpass
import sys

from ferrolith.gui import hash_password

password = getpass.getpass("Password: ")
if not password or password != getpass.getpass("Again: "):
    sys.exit("the two passwords differ or are empty")
print(hash_password(password))
