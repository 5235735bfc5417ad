#include "app/window/CBrenvikApp.h"

int main(int argc, char** argv) {
  brenvik::CBrenvikApp app(argc, argv);
  return app.run();
}
