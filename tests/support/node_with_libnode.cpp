// A stand-in node that links a shared libnode, as Debian's own nodejs does.
extern "C" int node_stub_start();

int main() { return node_stub_start(); }
