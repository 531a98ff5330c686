#include "player/gif/gifresources.h"

#include <strings.h>

const GifResource* FindGifResource(const std::string& name)
{
    for (const GifResource& resource : GifResources()) {
        if (strcasecmp(resource.name, name.c_str()) == 0) {
            return &resource;
        }
    }
    return nullptr;
}
