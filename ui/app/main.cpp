// The program. Its start-up is KVApplicationMain, which tests call as well.
#include "ui/app/KVApplicationMain.h"

int main(int argc, char** argv) { return KVApplicationMain(argc, argv); }
