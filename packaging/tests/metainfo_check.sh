#!/bin/sh
# The AppStream metainfo announces every USB adapter that the udev rule
# matches, in the form lintian and the software centres read
# ("usb:v1A86p7523d*", hex digits upper case), and appstreamcli accepts the
# file where it is installed.
#
#   metainfo_check.sh RULES METAINFO
set -u
rules=$1 metainfo=$2 failed=0
ids=$(sed -n 's/.*ATTRS{idVendor}=="\([0-9a-fA-F]\{4\}\)".*ATTRS{idProduct}=="\([0-9a-fA-F]\{4\}\)".*/\1 \2/p' \
      "$rules" | sort -u)
[ -n "$ids" ] || { echo "no USB vendor and product in $rules"; exit 1; }
echo "$ids" | while read -r vendor product; do
    alias=usb:v$(echo "$vendor" | tr 'a-f' 'A-F')p$(echo "$product" | tr 'a-f' 'A-F')d*
    grep -qF "<modalias>$alias</modalias>" "$metainfo" || { echo "missing: $alias"; exit 1; }
    echo "announced: $alias"
done || failed=1
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$metainfo" || failed=1
fi
exit $failed
