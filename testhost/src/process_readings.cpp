#include <skyloom/testhost/process_readings.h>

#include <dirent.h>

namespace skyloom::testhost {

int openDescriptorCount()
{
    DIR* const dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
    {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1; //< The directory stream's own descriptor.
}

} // namespace skyloom::testhost
