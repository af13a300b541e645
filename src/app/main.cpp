#include "app/process_setup.h"
#include "app/run_sequence.h"

int main(int argc, char** argv) {
  lumivex::prepareProcess();
  return lumivex::runLumivex(argc, argv);
}
