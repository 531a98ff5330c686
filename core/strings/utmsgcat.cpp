// The message catalogue: constant records whose texts word the library's errors.
#include "core/strings/utxmsg.h"

namespace {

constexpr const char* toolsDomain = "uttools6.0";
constexpr const char* coreDomain = "utcore6.0";

// Indexed by number - 0x2000.
constexpr UtMessageRecord toolsRecords[] = {
    {toolsDomain, 0x2000, "[ALLOCOUT] %s destructor called with allocation outstanding", 0},
    {toolsDomain, 0x2001, "[BADRE] Attempt to use invalid regular expression", 0},
    {toolsDomain, 0x2002,
     "[CRABS] UtFactory: attempting to create abstract class with ID %hu (0x%hx)", 0},
    {toolsDomain, 0x2003, "[FLIST] Free list size error: expected %ld, got %ld", 0},
    {toolsDomain, 0x2004, "[ID] Unexpected class ID %hu; should be %hu", 0},
    {toolsDomain, 0x2005, "[INDEX] Index (%u) out of range [0->%u]", 0},
    {toolsDomain, 0x2006, "[LOCK] Locked object deleted", 0},
    {toolsDomain, 0x2007, "[LONGINDEX] Long index (%lu) out of range [0->%lu]", 0},
    {toolsDomain, 0x2008, "[MAGIC] Bad magic number: %ld (should be %ld)", 0},
    {toolsDomain, 0x2009, "[NEVECL] Unequal vector lengths: %u versus %u", 0},
    {toolsDomain, 0x200A, "[NOCREATE] UtFactory: no create function for class with ID %hu (0x%hx)",
     0},
    {toolsDomain, 0x200B, "[NOTALLOW] Function not allowed for derived class", 0},
    {toolsDomain, 0x200C, "[READERR] Read error", 0},
    {toolsDomain, 0x200D, "[REF] Bad persistence reference", 0},
    {toolsDomain, 0x200E, "[SEEKERR] Seek error", 0},
    {toolsDomain, 0x200F, "[STREAM] Bad input stream", 0},
    {toolsDomain, 0x2010, "[SUBSTRING] Illegal substring (%d, %u) from %u element UtCString", 0},
    {toolsDomain, 0x2011, "[UNLOCK] Improper use of locked object", 0},
    {toolsDomain, 0x2012, "[WRITEERR] Write error", 0},
    {toolsDomain, 0x2013, "[INDEXERR] Illegal Index (%u) for collection with %u elements", 0},
};

// Indexed by number - 0x1000.
constexpr UtMessageRecord coreRecords[] = {
    {coreDomain, 0x1000, "[EOF] EOF on input", 0},
    {coreDomain, 0x1001, "[GENERIC] Generic error number %d; %s", 0},
    {coreDomain, 0x1002, "[INVADDR] Invalid address: %lx", 0},
    {coreDomain, 0x1003, "[LOCK] Unable to lock memory", 0},
    {coreDomain, 0x1004, "[NOINIT] Memory allocated without being initialized", 0},
    {coreDomain, 0x1005, "[NOMEM] No memory", 0},
    {coreDomain, 0x1006, "[OPERR] Could not open file %s", 0},
    {coreDomain, 0x1007, "[OUTALLOC] Memory released with allocations still outstanding", 0},
    {coreDomain, 0x1008, "[OVFLOW] Overflow error -> \"%.*s\" <- (%u max characters)", 0},
    {coreDomain, 0x1009, "[STREAM] Bad input stream", 0},
    {coreDomain, 0x100A, "[SYNSTREAM] Syntax error in input stream: expected %s, got %s", 0},
};

static_assert(sizeof toolsRecords / sizeof toolsRecords[0] == 20);
static_assert(sizeof coreRecords / sizeof coreRecords[0] == 11);

} // namespace

const UtMessageRecord& utToolsMsg_ALLOCOUT()
{
    return toolsRecords[0];
}

const UtMessageRecord& utToolsMsg_BADRE()
{
    return toolsRecords[1];
}

const UtMessageRecord& utToolsMsg_CRABS()
{
    return toolsRecords[2];
}

const UtMessageRecord& utToolsMsg_FLIST()
{
    return toolsRecords[3];
}

const UtMessageRecord& utToolsMsg_ID()
{
    return toolsRecords[4];
}

const UtMessageRecord& utToolsMsg_INDEX()
{
    return toolsRecords[5];
}

const UtMessageRecord& utToolsMsg_LOCK()
{
    return toolsRecords[6];
}

const UtMessageRecord& utToolsMsg_LONGINDEX()
{
    return toolsRecords[7];
}

const UtMessageRecord& utToolsMsg_MAGIC()
{
    return toolsRecords[8];
}

const UtMessageRecord& utToolsMsg_NEVECL()
{
    return toolsRecords[9];
}

const UtMessageRecord& utToolsMsg_NOCREATE()
{
    return toolsRecords[10];
}

const UtMessageRecord& utToolsMsg_NOTALLOW()
{
    return toolsRecords[11];
}

const UtMessageRecord& utToolsMsg_READERR()
{
    return toolsRecords[12];
}

const UtMessageRecord& utToolsMsg_REF()
{
    return toolsRecords[13];
}

const UtMessageRecord& utToolsMsg_SEEKERR()
{
    return toolsRecords[14];
}

const UtMessageRecord& utToolsMsg_STREAM()
{
    return toolsRecords[15];
}

const UtMessageRecord& utToolsMsg_SUBSTRING()
{
    return toolsRecords[16];
}

const UtMessageRecord& utToolsMsg_UNLOCK()
{
    return toolsRecords[17];
}

const UtMessageRecord& utToolsMsg_WRITEERR()
{
    return toolsRecords[18];
}

const UtMessageRecord& utToolsMsg_INDEXERR()
{
    return toolsRecords[19];
}

const UtMessageRecord& utCoreMsg_EOF()
{
    return coreRecords[0];
}

const UtMessageRecord& utCoreMsg_GENERIC()
{
    return coreRecords[1];
}

const UtMessageRecord& utCoreMsg_INVADDR()
{
    return coreRecords[2];
}

const UtMessageRecord& utCoreMsg_LOCK()
{
    return coreRecords[3];
}

const UtMessageRecord& utCoreMsg_NOINIT()
{
    return coreRecords[4];
}

const UtMessageRecord& utCoreMsg_NOMEM()
{
    return coreRecords[5];
}

const UtMessageRecord& utCoreMsg_OPERR()
{
    return coreRecords[6];
}

const UtMessageRecord& utCoreMsg_OUTALLOC()
{
    return coreRecords[7];
}

const UtMessageRecord& utCoreMsg_OVFLOW()
{
    return coreRecords[8];
}

const UtMessageRecord& utCoreMsg_STREAM()
{
    return coreRecords[9];
}

const UtMessageRecord& utCoreMsg_SYNSTREAM()
{
    return coreRecords[10];
}
