#!/usr/bin/env bash
# Boots Debian's own kernel under QEMU with the virtual instrument attached as a USB device
# (vexdaq-usbredir over usbredir, on an xHCI controller), runs the guest tests there against the
# real USB stack and exits with their result.
#
#   tests/vm/run-vm-tests.sh [BUILD_DIR]        (default: build)
#
# Environment: VEXDAQ_VM_ACCEL=auto|kvm|tcg (auto: KVM only where the CPU shows vmx/svm and the
# guest reaches init, else TCG), VEXDAQ_VM_TIMEOUT (seconds for the VM, default 170),
# VEXDAQ_VM_CACHE (downloads and the unpacked kernel; default ~/.cache/vexdaq-vm),
# VEXDAQ_VM_PROFILE (the instrument's profile), VEXDAQ_VM_RATE (highest input rate the streaming
# case uses, default 51200; the bench mode tries from there down), VEXDAQ_VM_BENCH=1 (the throughput and round-trip
# measurements only), VEXDAQ_VM_SHELL=1 (a shell in the guest instead), VEXDAQ_VM_SERVER (another
# vexdaq-usbredir binary, such as a ThreadSanitizer build's).
# Exit: the guest's status; 1 when the harness cannot run here (the reason is printed); 124 when
# the VM ran out of time.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(realpath -m "${1:-$root/build}")
cache=${VEXDAQ_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vexdaq-vm}
accel_wanted=${VEXDAQ_VM_ACCEL:-auto}
vm_timeout=${VEXDAQ_VM_TIMEOUT:-170}
# A deep device FIFO (4 MiB, 1.7 s of the streaming case) rides out the host's scheduling stalls
# of the emulator on a loaded machine, so a sample missing in the guest is the path's fault; the
# instrument counts what its FIFO drops either way. The bench mode takes the default 64 KiB.
default_profile='waveform=counter;pacing=realtime;device_fifo=4194304'
[ "${VEXDAQ_VM_BENCH:-0}" = 1 ] && default_profile='waveform=counter;pacing=realtime'
profile=${VEXDAQ_VM_PROFILE:-$default_profile}
t0=${EPOCHREALTIME/./}
say() { echo "vm: $* ($(( (${EPOCHREALTIME/./} - t0) / 1000 )) ms)"; }
cannot() { echo "vm: CANNOT RUN: $*" >&2; exit 1; }

# ---- what the harness needs ---------------------------------------------------------------------
for tool in qemu-system-x86_64 apt-get apt-cache dpkg-deb xz gzip timeout; do
    command -v "$tool" >/dev/null || cannot "$tool is missing (scripts/install-deps.sh installs it)"
done
busybox=/bin/busybox
[[ $(ldd "$busybox" 2>&1 || true) == *"not a dynamic"* ]] ||
    cannot "$busybox is not the static busybox (Debian: busybox-static)"
udevadm=$(command -v udevadm) || cannot "udevadm is missing (Debian: udev)"
server=${VEXDAQ_VM_SERVER:-$build/tools/usbredir/vexdaq-usbredir}
for f in "$build/tools/vexdaq" "$server" "$build/tests/vm/vexdaq-vm-guest-tests"; do
    [ -x "$f" ] || cannot "$f is not built (cmake --build $build --target vexdaq_cli vexdaq_usbredir vexdaq_vm_guest_tests)"
done

# ---- Debian's kernel, downloaded and unpacked once ----------------------------------------------
mkdir -p "$cache" || cannot "cannot create $cache"
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
[ -n "$kpkg" ] || cannot "apt-cache does not know linux-image-amd64 (apt-get update first)"
kroot=$cache/$kpkg
if [ ! -f "$kroot/ready" ]; then
    deb=$(ls "$cache/${kpkg}"_*.deb 2>/dev/null | head -1)
    if [ -z "$deb" ]; then
        say "downloading $kpkg"
        (cd "$cache" && timeout 300 apt-get download "$kpkg" >/dev/null 2>&1) || cannot "apt-get download $kpkg failed"
        deb=$(ls "$cache/${kpkg}"_*.deb | head -1)
    fi
    rm -rf "$kroot" && mkdir -p "$kroot"
    # No maintainer scripts run: the files only.
    timeout 120 dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kroot" --wildcards \
        './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/usb/*' || cannot "unpacking $deb failed"
    vz=$(ls "$kroot"/boot/vmlinuz-* | head -1)
    # The uncompressed kernel boots straight through PVH: no decompressor run under emulation.
    off=$(LC_ALL=C grep -m1 -obUaP '\xfd7zXZ\x00' "$vz" | cut -d: -f1)
    [ -n "$off" ] || cannot "no xz payload in $vz"
    { tail -c +$((off + 1)) "$vz" || true; } | xz --single-stream -dc > "$kroot/vmlinux" 2>/dev/null
    [ -s "$kroot/vmlinux" ] || cannot "could not unpack the kernel image"
    find "$kroot/lib/modules" -name '*.ko.xz' -exec xz -d {} +
    touch "$kroot/ready"
    rm -f "$deb"  # the unpacked tree is the cache
fi
kver=$(ls "$kroot/lib/modules")
say "kernel $kver"

# ---- accelerator ----------------------------------------------------------------------------------
kvm_reason=""
if [ ! -e /dev/kvm ]; then kvm_reason="/dev/kvm does not exist"
elif [ ! -r /dev/kvm ] || [ ! -w /dev/kvm ]; then kvm_reason="no read/write access to /dev/kvm"
elif ! grep -qwE 'vmx|svm' /proc/cpuinfo; then
    kvm_reason="/dev/kvm exists but the CPU shows no vmx/svm (a nested paravirtual KVM that cannot boot a stock kernel)"
fi
case $accel_wanted in
    auto) if [ -z "$kvm_reason" ]; then accel=kvm; else accel=tcg; say "accelerator TCG: $kvm_reason"; fi ;;
    kvm|tcg) accel=$accel_wanted; say "accelerator $accel (VEXDAQ_VM_ACCEL)" ;;
    *) cannot "VEXDAQ_VM_ACCEL=$accel_wanted: auto, kvm or tcg" ;;
esac

# ---- initramfs --------------------------------------------------------------------------------------
work=$(mktemp -d /tmp/vexdaq-vm.XXXXXX)  # short: a unix socket path has at most 107 bytes
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
st=$work/root
mkdir -p "$st"/{bin,sbin,proc,sys,dev,run,tmp,etc/udev/rules.d,lib/modules,lib/udev/rules.d,usr/share/vexdaq}
cp "$busybox" "$st/bin/busybox"
for a in $("$busybox" --list); do [ -e "$st/bin/$a" ] || ln -s busybox "$st/bin/$a"; done
install -m755 "$here/guest/init" "$st/init"
if [ "${VEXDAQ_VM_SHELL:-0}" = 1 ]; then
    printf '#!/bin/sh\nsetsid cttyhack sh\n' > "$st/guest-tests.sh"; chmod 755 "$st/guest-tests.sh"
else
    install -m755 "$here/guest/guest-tests.sh" "$st/guest-tests.sh"
fi
# The USB host stack, in dependency order from the modules' own records.
order=()
add_module() {
    local name=$1 f dep
    for m in "${order[@]}"; do [ "$m" = "$name" ] && return; done
    f=$(find "$kroot/lib/modules/$kver" \( -name "$name.ko" -o -name "${name//-/_}.ko" \) | head -1)
    [ -n "$f" ] || cannot "module $name is not in $kpkg"
    for dep in $(tr '\0' '\n' < "$f" | sed -n 's/^depends=//p' | head -1 | tr ',' ' '); do add_module "$dep"; done
    cp "$f" "$st/lib/modules/$name.ko"
    order+=("$name")
}
add_module xhci-pci
printf '%s\n' "${order[@]}" > "$st/lib/modules/order"
copy_with_libraries() {  # FILE DEST
    cp -L "$1" "$st$2"
    for l in $(ldd "$1" | grep -o '/[^ ]*'); do
        [ -e "$st$l" ] && continue
        mkdir -p "$st$(dirname "$l")" && cp -L "$l" "$st$l"
    done
}
copy_with_libraries "$build/tools/vexdaq" /bin/vexdaq
copy_with_libraries "$build/tests/vm/vexdaq-vm-guest-tests" /bin/vexdaq-vm-guest-tests
copy_with_libraries "$udevadm" /bin/udevadm
ln -s ../bin/udevadm "$st/sbin/systemd-udevd"
# The build's debug information is most of its size, and the guest unpacks every byte under
# emulation.
if command -v strip >/dev/null; then
    find "$st" -type f -newer "$st/init" ! -name busybox -exec strip --strip-debug {} + 2>/dev/null || true
else
    say "strip not found: the initramfs keeps the debug information"
fi
cp /lib/udev/rules.d/50-udev-default.rules "$st/lib/udev/rules.d/"
cp "$root/packaging/60-vexdaq.rules" "$st/usr/share/vexdaq/"
printf 'root:x:0:0:root:/root:/bin/sh\nvexuser:x:1000:1000:vexdaq user:/tmp:/bin/sh\n' > "$st/etc/passwd"
printf 'root:x:0:\nplugdev:x:46:vexuser\nvexuser:x:1000:\n' > "$st/etc/group"
echo "$profile" > "$st/etc/vexdaq-vm-profile"
# The streaming case's rate limit: under TCG the path carries a few MB/s (one round trip through
# the emulated controller per 512-byte packet), with the host's other load on top.
if [ "${VEXDAQ_VM_BENCH:-0}" = 1 ]; then touch "$st/etc/vexdaq-vm-bench"; fi
echo "${VEXDAQ_VM_RATE:-51200}" > "$st/etc/vexdaq-vm-rate"
(cd "$st" && find . | "$busybox" cpio -o -H newc 2>/dev/null) | gzip -1 > "$work/initrd" || cannot "cpio failed"
say "initramfs $(du -h "$work/initrd" | cut -f1) (modules: ${order[*]})"

# ---- the instrument and the VM -----------------------------------------------------------------------
start_server() {
    exec {server_out}< <(exec "$server" --listen "unix:$work/redir.sock" \
        --control "unix:$work/control.sock" --profile "$profile" --once 2>>"$work/usbredir.log")
    server_pid=$!
    local line=""
    read -r -t 10 -u "$server_out" line
    [ "$line" = READY ] || { cat "$work/usbredir.log" >&2; cannot "vexdaq-usbredir did not start"; }
}
run_vm() {  # ACCEL SECONDS
    local acc=(-accel tcg)
    [ "$1" = kvm ] && acc=(-accel kvm -cpu host)
    local vm=(qemu-system-x86_64 "${acc[@]}" -m 384M -smp 1
        -nodefaults -no-user-config -display none -no-reboot
        -kernel "$kroot/vmlinux" -initrd "$work/initrd"
        -append "console=ttyS0 quiet panic=-1"
        -serial stdio -chardev socket,id=control,path="$work/control.sock" -serial chardev:control
        -device qemu-xhci,id=xhci
        -chardev socket,id=redir,path="$work/redir.sock" -device usb-redir,chardev=redir,bus=xhci.0)
    if [ "${VEXDAQ_VM_SHELL:-0}" = 1 ]; then  # the terminal is the guest's console
        "${vm[@]}" | tee "$work/console.log"
        return "${PIPESTATUS[0]}"
    fi
    timeout "$2" "${vm[@]}" < /dev/null 2>&1 | tee "$work/console.log" |
        grep --line-buffered -E '^(GUEST|VM-RESULT|\[ *(OK|RUN|FAILED|PASSED) )'
    return "${PIPESTATUS[0]}"
}
start_server
say "starting QEMU ($accel)"
qrc=0
if [ "$accel" = kvm ]; then
    # Under KVM the whole suite takes seconds; a broken KVM must leave TCG its time.
    run_vm kvm 60; qrc=$?
    if ! grep -q '^GUEST: init started' "$work/console.log"; then
        say "KVM did not reach init (QEMU status $qrc); TCG instead"
        kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null
        : > "$work/usbredir.log"; start_server
        accel=tcg
    fi
fi
[ "$accel" = tcg ] && { run_vm tcg "$vm_timeout"; qrc=$?; }
say "QEMU exited ($qrc)"
kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null; server_pid=""
grep -h 'packets' "$work/usbredir.log" | tail -1 | sed 's/^/vm: /' 
server_faults=0
if grep -qE 'Sanitizer|runtime error' "$work/usbredir.log"; then
    server_faults=1  # a sanitizer build of the server found something: the run fails with it
    echo "vm: ---- vexdaq-usbredir reported faults ----"; cat "$work/usbredir.log"
fi
cp "$work/console.log" "$build/vm-console.log"  # kept for a look after a passing run too
rc=$(sed -n 's/^GUEST-RC=\([0-9]*\).*/\1/p' "$work/console.log" | tail -1)
grep -h '^VM-RESULT' "$work/console.log" | sed "s/^/vm: accel=$accel /" | tee "$build/vm-results.txt"
if [ -z "$rc" ] || [ "$rc" != 0 ]; then
    echo "vm: ---- guest console ----"; cat "$work/console.log"
    echo "vm: ---- vexdaq-usbredir ----"; cat "$work/usbredir.log"
fi
if [ -z "$rc" ]; then
    [ "$qrc" = 124 ] && { echo "vm: FAIL: the VM ran out of time (${vm_timeout}s)"; exit 124; }
    echo "vm: FAIL: the guest reported no result (QEMU status $qrc)"; exit 1
fi
say "guest tests exited $rc (accelerator $accel)"
[ "$rc" = 0 ] && [ "$server_faults" = 1 ] && { echo "vm: FAIL: the guest passed but vexdaq-usbredir reported faults"; exit 1; }
exit "$rc"
