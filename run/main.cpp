// Program entry: replaced by the full run driver.
int main() { return 0; }
