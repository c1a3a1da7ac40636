#include "component/component_holder.h"

CComponentHolder::~CComponentHolder() {
    // The list's elements go before the map's; the containers themselves are freed by their own
    // destructors afterwards.
    DestroyListElements();
    DestroyMapElements();
}

void CComponentHolder::DestroyListElements() {
    for (TMirelPtr* pElement : m_listOwned) {
        delete pElement;
    }
}

void CComponentHolder::DestroyMapElements() {
    for (std::map<uint32_t, TMirelPtr*>::value_type& item : m_mapOwned) {
        delete item.second;
    }
    m_mapOwned.clear();
}

int32_t CComponentHolder::ReleaseOwned(IComponent** ppComponent) {
    if (ppComponent == nullptr) {
        return 0;
    }
    IComponent* pComponent = *ppComponent;
    if (pComponent == nullptr) {
        return 0;
    }
    // An owning element's destruction releases its component; a null component never matches.
    for (std::map<uint32_t, TMirelPtr*>::iterator it = m_mapOwned.begin(); it != m_mapOwned.end();
         ++it) {
        if (it->second != nullptr && it->second->m_pComponent == pComponent) {
            delete it->second;
            m_mapOwned.erase(it);
            *ppComponent = nullptr;
            return 1;
        }
    }
    for (std::list<TMirelPtr*>::iterator it = m_listOwned.begin(); it != m_listOwned.end(); ++it) {
        if (*it != nullptr && (*it)->m_pComponent == pComponent) {
            delete *it;
            m_listOwned.erase(it);
            *ppComponent = nullptr;
            return 1;
        }
    }
    pComponent->Release(0);
    *ppComponent = nullptr;
    return 1;
}
