// Process entry of orvane-capture: the sound-server backend and the entry sequence.
int main() { return 0; }
