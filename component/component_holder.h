// CComponentHolder: the containers through which an object owns component pointers of other
// modules, and the one way it lets go of such a component (ReleaseOwned). Every component of the
// module and the timer manager derive from it; its virtual destructor is the one through which a
// component is deleted. It takes no lock: its owner keeps calls into it from overlapping.
#ifndef MIREL_COMPONENT_COMPONENT_HOLDER_H
#define MIREL_COMPONENT_COMPONENT_HOLDER_H

#include <stdint.h>

#include <list>
#include <map>

#include "factory/factory_loader.h"
#include "mirel/component.h"

class CComponentHolder {
public:
    CComponentHolder() = default;
    virtual ~CComponentHolder();
    CComponentHolder(const CComponentHolder&) = delete;
    CComponentHolder& operator=(const CComponentHolder&) = delete;

    // Destroys every owned element of the list; the nodes stay until the list is destroyed.
    void DestroyListElements();
    // Destroys every owned element of the map and empties it.
    void DestroyMapElements();
    // Releases the component stored at *ppComponent (through its owning element when one of the
    // containers holds it, directly otherwise) and nulls the variable. Returns 1 when a component
    // was released, 0 for a null address or a null component.
    int32_t ReleaseOwned(IComponent** ppComponent);

protected:
    std::map<uint32_t, TMirelPtr*> m_mapOwned;
    std::list<TMirelPtr*> m_listOwned;
};

#endif  // MIREL_COMPONENT_COMPONENT_HOLDER_H
