// A library named like the one Debian's nodejs links (libnode.so.N), for a stand-in node
// that needs it.
extern "C" __attribute__((visibility("default"))) int node_stub_start() { return 0; }
