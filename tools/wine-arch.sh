# Sourced by the scripts that run Windows programs under Wine.
# i386_runs: whether this machine's kernel executes 32-bit x86 programs.
# Wine starts a 32-bit Windows program through its 32-bit loader, so where
# the kernel was built without 32-bit support (seen on some virtual
# machines) the 32-bit build can be compiled but not run.
i386_runs() {
  [ -e /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}
