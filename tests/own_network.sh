#!/bin/sh
# Runs a test in a network namespace of its own, its loopback up: a server
# the test starts never listens on the host's addresses, two runs on one
# host never meet on a port, and the shared engine its runs start (an
# abstract socket, which is per network namespace) is the test's own.
exec /usr/bin/unshare --net /bin/sh -c 'ip link set lo up && exec "$@"' own_network "$@"
