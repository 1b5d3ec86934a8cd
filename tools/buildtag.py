"""The name of the running interpreter's build directory under build/.

Each interpreter gets a directory of its own, not each minor version: two
installs of 3.11 (pyenv's and the system's, say) or a debug build beside a
release build have different headers, libraries and ABI flags, and CMake's
cache pins the first interpreter it was configured with. The name is the
version with the ABI flags ("3.14", "3.14d") and a short hash of the
interpreter's real path and build string, so that a virtual environment
shares its base interpreter's directory.

    python3.X tools/buildtag.py      prints the name, e.g. 3.13-5f0c2a91
"""

import hashlib
import os
import sys


def tag():
    identity = os.path.realpath(sys.executable) + "\0" + sys.version
    digest = hashlib.sha256(identity.encode()).hexdigest()[:8]
    return "%d.%d%s-%s" % (sys.version_info[0], sys.version_info[1], getattr(sys, "abiflags", ""), digest)


def build_dir(checkout):
    """The running interpreter's build directory in the checkout."""
    return os.path.join(checkout, "build", tag())


if __name__ == "__main__":
    print(tag())
