#include "link/ModelTable.h"

namespace korvalen {

const std::array<ModelRow, kModelCount> ModelTable = {{
    {"vid_5e1a&pid_f070", "KORVALEN ORBIT", "KORVALEN_ORBIT"},
    {"vid_5e1a&pid_f071", "KORVALEN ORBIT Mini", "KORVALEN_ORBIT_Mini"},
    {"vid_5e1a&pid_f072", "KORVALEN TIDE", "KORVALEN_TIDE"},
    {"vid_5e1a&pid_f0f0", "KORVALEN TIDE XS", "KORVALEN_TIDE_XS"},
    {"vid_5e1a&pid_f0f1", "KORVALEN ORBIT MAX", "KORVALEN_ORBIT_MAX"},
}};

}  // namespace korvalen
