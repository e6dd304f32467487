// Test helper, copied as net.exe beside the uninstall script: "net session"
// succeeds, as it does for an elevated administrator.
int wmain() { return 0; }
