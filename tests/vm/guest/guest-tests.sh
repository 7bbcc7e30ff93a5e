#!/bin/sh
# The tests inside the VM, in order; exits non-zero at the first failing step.
# The instrument is attached before init runs; the kernel has enumerated it once udev settled.
set -o pipefail
export GTEST_COLOR=no  # plain lines on the console, which the harness filters
fail() { echo "GUEST: FAIL: $*"; exit 1; }
step() { echo "GUEST: --- $*"; }
as_user() { su -s /bin/sh vexuser -c "cd /tmp && $*"; }

# Wait (bounded) for the kernel to list the instrument.
i=0
until grep -qs '^PRODUCT=1209/7d0a' /sys/bus/usb/devices/*/uevent; do
    i=$((i+1)); [ $i -gt 100 ] && fail "the kernel did not enumerate the instrument"
    sleep 0.1
done
for d in /sys/bus/usb/devices/*-*; do
    [ -f "$d/idVendor" ] && echo "GUEST: sysfs $(basename "$d"): $(cat "$d/idVendor"):$(cat "$d/idProduct") speed $(cat "$d/speed") \"$(cat "$d/product" 2>/dev/null)\""
done
cd /tmp

step "vexdaq list / info through the kernel's enumeration"
out=$(vexdaq list 2>&1); echo "$out"
echo "$out" | grep -q '^0: VX-8 Virtual Instrument' || fail "vexdaq list does not show the instrument"
out=$(vexdaq info 2>&1); rc=$?; echo "$out"
[ $rc = 0 ] || fail "vexdaq info exited $rc"
echo "$out" | grep -qi 'VX-8 Virtual Instrument' || fail "vexdaq info does not name the product"

if [ -f /etc/vexdaq-vm-bench ]; then
    step "benchmarks as root"
    vexdaq-vm-guest-tests --gtest_also_run_disabled_tests \
        --gtest_filter='Guest.DISABLED_HighestCleanRealtimeRate:Guest.DISABLED_FreePacedInputThroughput:Guest.ControlRoundTrip*' || fail "benchmarks"
    step "benchmarks as an unprivileged user (the udev rule installed)"
    chmod 666 /dev/ttyS1  # the user's cases talk to the host too
    cp /usr/share/vexdaq/60-vexdaq.rules /etc/udev/rules.d/
    udevadm control --reload && udevadm trigger --action=add --subsystem-match=usb && udevadm settle --timeout=10
    as_user "vexdaq-vm-guest-tests --gtest_also_run_disabled_tests --gtest_filter='Guest.DISABLED_HighestCleanRealtimeRate:Guest.ControlRoundTrip*'" | sed 's/^VM-RESULT /VM-RESULT user /' || fail "benchmarks as the user"
    exit 0
fi

step "vexdaq acquire and generate through the kernel"
rate=$(cat /etc/vexdaq-vm-rate)
vexdaq acquire -c all -r "$rate" -n "$rate" -q -o /tmp/capture.raw; rc=$?
[ $rc = 0 ] || fail "vexdaq acquire exited $rc (4: samples were lost)"
size=$(stat -c %s /tmp/capture.raw)
[ "$size" = $((rate * 8 * 3)) ] || fail "vexdaq acquire wrote $size bytes, not $((rate * 8 * 3))"
vexdaq generate -c all -w counter -r 20000 -n 20000 || fail "vexdaq generate exited $?"
rm -f /tmp/capture.raw

step "library tests against the kernel"
vexdaq-vm-guest-tests --gtest_filter='Guest.*' || fail "library tests"

step "unprivileged user without access to the device node"
dev=$(grep -ls '^PRODUCT=1209/7d0a' /sys/bus/usb/devices/*/uevent | head -1); dev=${dev%/uevent}
node=$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$dev/busnum")" "$(cat "$dev/devnum")"); ls -l "$node"
as_user "vexdaq-vm-guest-tests --gtest_filter=Permissions.OpenIsDeniedWithoutAccess" || fail "open without access"
out=$(as_user "vexdaq doctor" 2>&1); rc=$?; echo "$out"
[ $rc = 3 ] || fail "vexdaq doctor exited $rc, not 3"
echo "$out" | grep -qi 'permission' || fail "vexdaq doctor does not say it is a matter of permission"

step "the project's udev rule installed, as the README says"
cp /usr/share/vexdaq/60-vexdaq.rules /etc/udev/rules.d/
udevadm control --reload && udevadm trigger --action=add --subsystem-match=usb && udevadm settle --timeout=10
ls -l "$node"
# No login seat here, so the rule's uaccess tag grants nothing: its GROUP="plugdev" does.
[ "$(stat -c %G "$node")" = plugdev ] || fail "the rule did not give the node to group plugdev"
as_user "vexdaq-vm-guest-tests --gtest_filter=Permissions.OpenWorksWithAccess" || fail "open with the rule installed"
as_user "vexdaq info" > /dev/null || fail "vexdaq info as the user"
step "unplug and replug with no udev daemon running (as in a container)"
killall systemd-udevd 2>/dev/null
vexdaq-vm-guest-tests --gtest_filter='Guest.UnplugMidStreamThenReplugAndStreamAgain' || fail "replug without udevd"
# What the library logged as failing along the way (expected: the injected faults and unplugs).
echo "GUEST: failures the library logged:"
cat /tmp/case.*/log/* 2>/dev/null | grep -i 'failed' | sed 's/^[0-9]* - //' | sort | uniq -c | sort -rn | head -20
echo "GUEST: all passed"
