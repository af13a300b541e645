#include "common/process_setup.h"
#include "run_sequence.h"

int main(int argc, char** argv) {
  lumivex::prepareProcess();
  return lumivex::runLumivex(argc, argv);
}
