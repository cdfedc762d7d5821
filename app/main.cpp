#include "app/lifecycle/ApplicationMain.h"

int main(int argc, char** argv)
{
    return ApplicationMain(argc, argv);
}
