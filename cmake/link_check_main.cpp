// Linked with one layer in whole and the layers below it; see CMakeLists.txt.
int main() { return 0; }
