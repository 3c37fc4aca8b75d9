#!/bin/sh
# check_hardening.sh PROGRAM FORTIFIED: fails naming each hardening feature
# that readelf and nm do not find in PROGRAM.
program=$1
fortified=$2
status=0
missing() { echo "$program: $1" >&2; status=1; }
dynamic=$(readelf -dW "$program") || exit 1
segments=$(readelf -lW "$program") || exit 1
symbols=$(nm -D "$program") || exit 1
echo "$dynamic" | grep -q 'FLAGS_1.*NOW' || missing "no immediate binding (FLAGS_1 NOW)"
echo "$dynamic" | grep -q 'FLAGS_1.*PIE' || missing "not a position-independent executable"
echo "$segments" | grep -q 'GNU_RELRO' || missing "no GNU_RELRO segment"
echo "$symbols" | grep -q '__stack_chk_fail' || missing "no stack protector"
if [ "$fortified" = 1 ]; then
  echo "$symbols" | grep -q '__[a-z_]*_chk@' || missing "no fortified library calls"
fi
exit $status
