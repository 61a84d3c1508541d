#!/usr/bin/env bash
# Boots Debian's stock kernel under qemu with a busybox initramfs holding
# korvalen-usbip-sim and korvalen-fw, and runs korvalen-fw through libusb and
# the kernel's USB stack against the simulated chip (vm-init.sh has the
# checks). Exit 0 when every check passes.
# Usage: run-vm-test.sh BUILD_DIR
# Needs qemu-system-x86_64, a static busybox (busybox-static; it also packs
# the initramfs), xz, and apt-get once to fetch the kernel package (it is kept
# in BUILD_DIR/usbip-vm).
set -euo pipefail

BUILD=$(cd "${1:?usage: run-vm-test.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
# The kernel the checks were made with; another can be tried through the
# environment. The package stays in the archive for Debian 12's life.
KERNEL_PACKAGE=${KORVALEN_VM_KERNEL:-linux-image-6.1.0-50-amd64=6.1.176-1}
VM_TIMEOUT=${KORVALEN_VM_TIMEOUT:-600}
BUSYBOX=${BUSYBOX:-/bin/busybox}

FW="$BUILD/app/korvalen-fw"
SIM="$BUILD/app/korvalen-usbip-sim"
for f in "$FW" "$SIM"; do
  [ -x "$f" ] || { echo "run-vm-test: $f is missing: build first" >&2; exit 2; }
done
for tool in qemu-system-x86_64 xz; do
  command -v $tool > /dev/null || { echo "run-vm-test: $tool is missing" >&2; exit 2; }
done
if ! "$BUSYBOX" --list 2>/dev/null | grep -qx sh || ldd "$BUSYBOX" > /dev/null 2>&1; then
  echo "run-vm-test: $BUSYBOX is not a static busybox (busybox-static)" >&2
  exit 2
fi

WORK="$BUILD/usbip-vm"
mkdir -p "$WORK"
cd "$WORK"

# The kernel package: fetched once, unpacked once.
name=${KERNEL_PACKAGE%%=*}
version=${KERNEL_PACKAGE#*=}
deb="${name}_${version}_amd64.deb"
if [ ! -s "$deb" ]; then
  echo "== fetching $KERNEL_PACKAGE"
  if ! apt-get download "$KERNEL_PACKAGE"; then
    # A fresh system may not have the package lists yet.
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    apt-get download "$KERNEL_PACKAGE"
  fi
fi
if [ ! -f kernel/.unpacked-"$version" ]; then
  rm -rf kernel
  dpkg -x "$deb" kernel
  touch kernel/.unpacked-"$version"
fi
KVER=$(ls kernel/lib/modules | head -1)
MD=kernel/lib/modules/$KVER

echo "== initramfs"
rm -rf rootfs
mkdir -p rootfs/bin rootfs/proc rootfs/sys rootfs/dev rootfs/tmp rootfs/data rootfs/lib/modules/$KVER
cp "$BUSYBOX" rootfs/bin/busybox
for applet in $(rootfs/bin/busybox --list); do
  [ -e rootfs/bin/$applet ] || ln -s busybox rootfs/bin/$applet
done
cp "$FW" "$SIM" rootfs/bin/
# The programs' shared libraries and the loader, at the paths they name.
for lib in $( (ldd "$FW"; ldd "$SIM") | grep -o '/[^ ]*' | sort -u); do
  mkdir -p "rootfs$(dirname "$lib")"
  cp -L "$lib" "rootfs$lib"
done
cp "$HERE/vm-init.sh" rootfs/init
chmod +x rootfs/init
# A 64 KiB update file of random bytes (kept beside the console log).
head -c 65536 /dev/urandom > rootfs/data/update-64k.bin
# The small update file the kept recordings use.
cp "$HERE/../recordings/small.bin" rootfs/data/small.bin

# The virtual host controller and the modules it depends on (each module's
# own "depends=" field), in load order.
order=""
module_file() { find $MD/kernel -name "$1.ko" -o -name "$1.ko.xz" -o -name "$1.ko.zst" | head -1; }
unpacked() {
  case $1 in
    *.xz) xz -dc "$1" ;;
    *.zst) zstd -qdc "$1" ;;
    *) cat "$1" ;;
  esac
}
add_module() {
  local file deps d
  file=$(module_file "$1")
  [ -n "$file" ] || file=$(module_file "${1//_/-}")
  [ -n "$file" ] || { echo "run-vm-test: module $1 not in $KVER" >&2; exit 1; }
  case " $order " in *" $file "*) return ;; esac
  deps=$(unpacked "$file" | grep -a -o 'depends=[^[:cntrl:]]*' | head -1 | cut -d= -f2)
  for d in ${deps//,/ }; do add_module "$d"; done
  order="$order $file"
}
add_module vhci-hcd
: > rootfs/lib/modules/$KVER/load-order
for file in $order; do
  base=$(basename "$file"); base=${base%.xz}; base=${base%.zst}
  unpacked "$file" > rootfs/lib/modules/$KVER/$base
  echo "$base" >> rootfs/lib/modules/$KVER/load-order
done
echo "modules: $(tr '\n' ' ' < rootfs/lib/modules/$KVER/load-order)"
(cd rootfs && find . | "$BUSYBOX" cpio -o -H newc 2>/dev/null | gzip -1) > initramfs.cpio.gz
cp kernel/boot/vmlinuz-$KVER vmlinuz

echo "== booting $KVER (qemu, TCG; at most ${VM_TIMEOUT} s)"
start=$(date +%s.%N)
set +e
timeout "$VM_TIMEOUT" qemu-system-x86_64 -accel tcg -cpu max -m 512 -smp "${KORVALEN_VM_CPUS:-1}" \
  -nic none -nographic -no-reboot \
  -kernel vmlinuz -initrd initramfs.cpio.gz \
  -append "console=ttyS0 panic=-1 loglevel=3 ${KORVALEN_VM_APPEND:-}" < /dev/null > console.log 2>&1
qemu_status=$?
set -e
end=$(date +%s.%N)
tr -d '\r' < console.log > console.txt
grep -E '^(CHECK|PERF|MARK|attached) ' console.txt || true
echo "VM wall time: $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.1f", b-a}') s"
# KORVALEN_VM_RECORDINGS=DIR keeps the update recorded through the kernel's
# stack there (vm-update.pcap and its report), as tests/recordings holds it.
if [ -n "${KORVALEN_VM_RECORDINGS:-}" ]; then
  for f in vm-update.pcap vm-update.json; do
    sed -n "/^RECORDING BEGIN $f\$/,/^RECORDING END $f\$/p" console.txt | sed '1d;$d' \
      | base64 -d > "$KORVALEN_VM_RECORDINGS/$f"
    echo "kept $KORVALEN_VM_RECORDINGS/$f ($(stat -c %s "$KORVALEN_VM_RECORDINGS/$f") bytes)"
  done
fi
if grep -qx 'VMTEST PASS' console.txt; then
  echo "run-vm-test: PASS"
  exit 0
fi
[ $qemu_status = 124 ] && echo "run-vm-test: the machine did not finish within ${VM_TIMEOUT} s"
echo "run-vm-test: FAIL (console: $WORK/console.txt)"
tail -40 console.txt
exit 1
