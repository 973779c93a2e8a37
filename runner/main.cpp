#include <cstdio>
int main() {
  std::fputs("sablewick-script: not built yet\n", stderr);
  return 2;
}
