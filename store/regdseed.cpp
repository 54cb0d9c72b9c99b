#include "store/regdseed.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "base/config.h"
#include "store/regdcache.h"

namespace {

// Interface registrations: each interface's key with its name, then its
// sub-keys in order.
const RegdSeedRow interfaceRows[] = {
    {"{D5F56AFC-593B-101A-B569-08002B2DBF7A}", "IRpcStubBuffer"},
    {"{D5F56AFC-593B-101A-B569-08002B2DBF7A}\\NumMethods", "10"},
    {"{D5F56B60-593B-101A-B569-08002B2DBF7A}", "IRpcChannelBuffer"},
    {"{D5F56B60-593B-101A-B569-08002B2DBF7A}\\NumMethods", "8"},
    {"{D5F569D0-593B-101A-B569-08002B2DBF7A}", "IPSFactoryBuffer"},
    {"{D5F569D0-593B-101A-B569-08002B2DBF7A}\\NumMethods", "5"},
    {"{D5F56A34-593B-101A-B569-08002B2DBF7A}", "IRpcProxyBuffer"},
    {"{D5F56A34-593B-101A-B569-08002B2DBF7A}\\ProxyStubClsid32", "{D5F56A34-593B-101A-B569-08002B2DBF7A}"},
    {"{D5F56A34-593B-101A-B569-08002B2DBF7A}\\NumMethods", "5"},
    {"{DF0B3D60-548F-101B-8E65-08002B2BD119}", "ISupportErrorInfo"},
    {"{DF0B3D60-548F-101B-8E65-08002B2BD119}\\ProxyStubClsid32", "{DF0B3D60-548F-101B-8E65-08002B2BD119}"},
    {"{DF0B3D60-548F-101B-8E65-08002B2BD119}\\NumMethods", "4"},
    {"{22F03340-547D-101B-8E65-08002B2BD119}", "ICreateErrorInfo"},
    {"{22F03340-547D-101B-8E65-08002B2BD119}\\ProxyStubClsid32", "{22F03340-547D-101B-8E65-08002B2BD119}"},
    {"{22F03340-547D-101B-8E65-08002B2BD119}\\NumMethods", "8"},
    {"{1CF2B120-547D-101B-8E65-08002B2BD119}", "IErrorInfo"},
    {"{1CF2B120-547D-101B-8E65-08002B2BD119}\\ProxyStubClsid32", "{1CF2B120-547D-101B-8E65-08002B2BD119}"},
    {"{1CF2B120-547D-101B-8E65-08002B2BD119}\\NumMethods", "8"},
    {"{00020406-0000-0000-C000-000000000046}", "ICreateTypeLib"},
    {"{00020406-0000-0000-C000-000000000046}\\NumMethods", "13"},
    {"{00020405-0000-0000-C000-000000000046}", "ICreateTypeInfo"},
    {"{00020405-0000-0000-C000-000000000046}\\NumMethods", "26"},
    {"{00020403-0000-0000-C000-000000000046}", "ITypeComp"},
    {"{00020403-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{00020425-0000-0000-C000-000000000046}"},
    {"{00020403-0000-0000-C000-000000000046}\\NumMethods", "5"},
    {"{00020402-0000-0000-C000-000000000046}", "ITypeLib"},
    {"{00020402-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{00020423-0000-0000-C000-000000000046}"},
    {"{00020402-0000-0000-C000-000000000046}\\NumMethods", "13"},
    {"{00020401-0000-0000-C000-000000000046}", "ITypeInfo"},
    {"{00020401-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{00020422-0000-0000-C000-000000000046}"},
    {"{00020401-0000-0000-C000-000000000046}\\NumMethods", "22"},
    {"{00020404-0000-0000-C000-000000000046}", "IEnumVARIANT"},
    {"{00020404-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{00020421-0000-0000-C000-000000000046}"},
    {"{00020404-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00020400-0000-0000-C000-000000000046}", "IDispatch"},
    {"{00020400-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{00020420-0000-0000-C000-000000000046}"},
    {"{00020400-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00000129-0000-0000-C000-000000000046}", "IOleCacheControl"},
    {"{00000129-0000-0000-C000-000000000046}\\NumMethods", "5"},
    {"{00000128-0000-0000-C000-000000000046}", "IOleCache2"},
    {"{00000128-0000-0000-C000-000000000046}\\NumMethods", "10"},
    {"{00000128-0000-0000-C000-000000000046}\\BaseInterface", "{0000011E-0000-0000-C000-000000000046}"},
    {"{00000127-0000-0000-C000-000000000046}", "IViewObject2"},
    {"{00000127-0000-0000-C000-000000000046}\\NumMethods", "10"},
    {"{00000127-0000-0000-C000-000000000046}\\BaseInterface", "{0000010D-0000-0000-C000-000000000046}"},
    {"{00000126-0000-0000-C000-000000000046}", "IRunnableObject"},
    {"{00000126-0000-0000-C000-000000000046}\\NumMethods", "8"},
    {"{00000125-0000-0000-C000-000000000046}", "IAdviseSink2"},
    {"{00000125-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{00000125-0000-0000-C000-000000000046}\\BaseInterface", "{0000010F-0000-0000-C000-000000000046}"},
    {"{00000125-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000124-0000-0000-C000-000000000046}", "IDebugStream"},
    {"{00000124-0000-0000-C000-000000000046}\\NumMethods", "19"},
    {"{00000122-0000-0000-C000-000000000046}", "IDropTarget"},
    {"{00000122-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00000122-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000121-0000-0000-C000-000000000046}", "IDropSource"},
    {"{00000121-0000-0000-C000-000000000046}\\NumMethods", "5"},
    {"{0000011E-0000-0000-C000-000000000046}", "IOleCache"},
    {"{0000011E-0000-0000-C000-000000000046}\\NumMethods", "8"},
    {"{0000011D-0000-0000-C000-000000000046}", "IOleLink"},
    {"{0000011D-0000-0000-C000-000000000046}\\NumMethods", "14"},
    {"{0000011c-0000-0000-C000-000000000046}", "IOleItemContainer"},
    {"{0000011c-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{0000011c-0000-0000-C000-000000000046}\\BaseInterface", "{0000011B-0000-0000-C000-000000000046}"},
    {"{0000011c-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000011b-0000-0000-C000-000000000046}", "IOleContainer"},
    {"{0000011b-0000-0000-C000-000000000046}\\NumMethods", "6"},
    {"{0000011b-0000-0000-C000-000000000046}\\BaseInterface", "{0000011A-0000-0000-C000-000000000046}"},
    {"{0000011b-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000011a-0000-0000-C000-000000000046}", "IParseDisplayName"},
    {"{0000011a-0000-0000-C000-000000000046}\\NumMethods", "4"},
    {"{0000011a-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000119-0000-0000-C000-000000000046}", "IOleInPlaceSite"},
    {"{00000119-0000-0000-C000-000000000046}\\NumMethods", "15"},
    {"{00000119-0000-0000-C000-000000000046}\\BaseInterface", "{00000114-0000-0000-C000-000000000046}"},
    {"{00000119-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000118-0000-0000-C000-000000000046}", "IOleClientSite"},
    {"{00000118-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{00000118-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000117-0000-0000-C000-000000000046}", "IOleInPlaceActiveObject"},
    {"{00000117-0000-0000-C000-000000000046}\\NumMethods", "10"},
    {"{00000117-0000-0000-C000-000000000046}\\BaseInterface", "{00000114-0000-0000-C000-000000000046}"},
    {"{00000117-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000116-0000-0000-C000-000000000046}", "IOleInPlaceFrame"},
    {"{00000116-0000-0000-C000-000000000046}\\NumMethods", "15"},
    {"{00000116-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000115-0000-0000-C000-000000000046}", "IOleInPlaceUIWindow"},
    {"{00000115-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{00000115-0000-0000-C000-000000000046}\\BaseInterface", "{00000114-0000-0000-C000-000000000046}"},
    {"{00000115-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000114-0000-0000-C000-000000000046}", "IOleWindow"},
    {"{00000114-0000-0000-C000-000000000046}\\NumMethods", "5"},
    {"{00000114-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000113-0000-0000-C000-000000000046}", "IOleInPlaceObject"},
    {"{00000113-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{00000113-0000-0000-C000-000000000046}\\BaseInterface", "{00000114-0000-0000-C000-000000000046}"},
    {"{00000113-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000112-0000-0000-C000-000000000046}", "IOleObject"},
    {"{00000112-0000-0000-C000-000000000046}\\NumMethods", "24"},
    {"{00000112-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000111-0000-0000-C000-000000000046}", "IOleAdviseHolder"},
    {"{00000111-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{00000110-0000-0000-C000-000000000046}", "IDataAdviseHolder"},
    {"{00000110-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{0000010f-0000-0000-C000-000000000046}", "IAdviseSink"},
    {"{0000010f-0000-0000-C000-000000000046}\\NumMethods", "8"},
    {"{0000010f-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000010e-0000-0000-C000-000000000046}", "IDataObject"},
    {"{0000010e-0000-0000-C000-000000000046}\\NumMethods", "12"},
    {"{0000010e-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000010D-0000-0000-C000-000000000046}", "IViewObject"},
    {"{0000010D-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{0000010c-0000-0000-C000-000000000046}", "IPersist"},
    {"{0000010c-0000-0000-C000-000000000046}\\NumMethods", "4"},
    {"{0000010c-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000010b-0000-0000-C000-000000000046}", "IPersistFile"},
    {"{0000010b-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{0000010b-0000-0000-C000-000000000046}\\BaseInterface", "{0000010C-0000-0000-C000-000000000046}"},
    {"{0000010b-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000010a-0000-0000-C000-000000000046}", "IPersistStorage"},
    {"{0000010a-0000-0000-C000-000000000046}\\NumMethods", "10"},
    {"{0000010a-0000-0000-C000-000000000046}\\BaseInterface", "{0000010C-0000-0000-C000-000000000046}"},
    {"{0000010a-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000109-0000-0000-C000-000000000046}", "IPersistStream"},
    {"{00000109-0000-0000-C000-000000000046}\\NumMethods", "8"},
    {"{00000109-0000-0000-C000-000000000046}\\BaseInterface", "{0000010C-0000-0000-C000-000000000046}"},
    {"{00000109-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000105-0000-0000-C000-000000000046}", "IEnumSTATDATA"},
    {"{00000105-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00000105-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000104-0000-0000-C000-000000000046}", "IEnumOLEVERB"},
    {"{00000104-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00000104-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000103-0000-0000-C000-000000000046}", "IEnumFORMATETC"},
    {"{00000103-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00000103-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000102-0000-0000-C000-000000000046}", "IEnumMoniker"},
    {"{00000102-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00000102-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000101-0000-0000-C000-000000000046}", "IEnumString"},
    {"{00000101-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00000101-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000100-0000-0000-C000-000000000046}", "IEnumUnknown"},
    {"{00000100-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00000100-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000019-0000-0000-C000-000000000046}", "IExternalConnection"},
    {"{00000019-0000-0000-C000-000000000046}\\NumMethods", "5"},
    {"{00000018-0000-0000-C000-000000000046}", "IStdMarshalInfo"},
    {"{00000018-0000-0000-C000-000000000046}\\NumMethods", "4"},
    {"{00000016-0000-0000-C000-000000000046}", "IMessageFilter"},
    {"{00000016-0000-0000-C000-000000000046}\\NumMethods", "6"},
    {"{00000012-0000-0000-C000-000000000046}", "IRootStorage"},
    {"{00000012-0000-0000-C000-000000000046}\\NumMethods", "4"},
    {"{00000012-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000010-0000-0000-C000-000000000046}", "IRunningObjectTable"},
    {"{00000010-0000-0000-C000-000000000046}\\NumMethods", "10"},
    {"{00000010-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000000f-0000-0000-C000-000000000046}", "IMoniker"},
    {"{0000000f-0000-0000-C000-000000000046}\\NumMethods", "23"},
    {"{0000000f-0000-0000-C000-000000000046}\\BaseInterface", "{00000109-0000-0000-C000-000000000046}"},
    {"{0000000f-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000000e-0000-0000-C000-000000000046}", "IBindCtx"},
    {"{0000000e-0000-0000-C000-000000000046}\\NumMethods", "13"},
    {"{0000000e-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000000d-0000-0000-C000-000000000046}", "IEnumSTATSTG"},
    {"{0000000d-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{0000000d-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000000c-0000-0000-C000-000000000046}", "IStream"},
    {"{0000000c-0000-0000-C000-000000000046}\\NumMethods", "14"},
    {"{0000000c-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000000b-0000-0000-C000-000000000046}", "IStorage"},
    {"{0000000b-0000-0000-C000-000000000046}\\NumMethods", "18"},
    {"{0000000b-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{0000000a-0000-0000-C000-000000000046}", "ILockBytes"},
    {"{0000000a-0000-0000-C000-000000000046}\\NumMethods", "10"},
    {"{0000000a-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000009-0000-0000-C000-000000000046}", "IPSFactory"},
    {"{00000009-0000-0000-C000-000000000046}\\NumMethods", "5"},
    {"{00000007-0000-0000-C000-000000000046}", "IRpcProxy"},
    {"{00000007-0000-0000-C000-000000000046}\\NumMethods", "5"},
    {"{00000005-0000-0000-C000-000000000046}", "IRpcStub"},
    {"{00000005-0000-0000-C000-000000000046}\\NumMethods", "8"},
    {"{00000004-0000-0000-C000-000000000046}", "IRpcChannel"},
    {"{00000004-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{00000003-0000-0000-C000-000000000046}", "IMarshal"},
    {"{00000003-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{00000002-0000-0000-C000-000000000046}", "IMalloc"},
    {"{00000002-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{00000001-0000-0000-C000-000000000046}", "IClassFactory"},
    {"{00000001-0000-0000-C000-000000000046}\\NumMethods", "5"},
    {"{00000001-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}"},
    {"{00000000-0000-0000-C000-000000000046}", "IUnknown"},
    {"{00000000-0000-0000-C000-000000000046}\\NumMethods", "3"},
    {"{00000000-0000-0000-C000-000000000046}\\BaseInterface", "3"},
    {"{B196B283-BAB4-101A-B69C-00AA00341D07}", "IProvideClassInfo"},
    {"{B196B283-BAB4-101A-B69C-00AA00341D07}\\ProxyStubClsid32", "{B196B286-BAB4-101A-B69C-00AA00341D07}"},
    {"{B196B283-BAB4-101A-B69C-00AA00341D07}\\NumMethods", "4"},
};

const RegdSeedRow typeLibRows[] = {
    {"{BEF6E001-A874-101A-8BBA-00AA00300CAB}", "3"},
    {"{BEF6E001-A874-101A-8BBA-00AA00300CAB}\\2.0", "Standard OLE Types"},
    {"{BEF6E001-A874-101A-8BBA-00AA00300CAB}\\2.0\\HELPDIR", "Standard OLE Types"},
    {"{BEF6E001-A874-101A-8BBA-00AA00300CAB}\\2.0\\0", "Standard OLE Types"},
    {"{BEF6E001-A874-101A-8BBA-00AA00300CAB}\\2.0\\0\\win32", "olepro32.dll"},
    {"{BEF6E001-A874-101A-8BBA-00AA00300CAB}\\2.0\\FLAGS", "0"},
    {"{00020430-0000-0000-C000-000000000046}", "0"},
    {"{00020430-0000-0000-C000-000000000046}\\2.0", "OLE Automation"},
    {"{00020430-0000-0000-C000-000000000046}\\2.0\\HELPDIR", "OLE Automation"},
    {"{00020430-0000-0000-C000-000000000046}\\2.0\\FLAGS", "0"},
    {"{00020430-0000-0000-C000-000000000046}\\2.0\\0", "0"},
    {"{00020430-0000-0000-C000-000000000046}\\2.0\\0\\win32", "stdole2.tlb"},
    {"{00020430-0000-0000-C000-000000000046}\\1.0", "OLE Automation"},
    {"{00020430-0000-0000-C000-000000000046}\\1.0\\0", ""},
    {"{00020430-0000-0000-C000-000000000046}\\1.0\\0\\win32", "stdole32.tlb"},
    {"{00020430-0000-0000-C000-000000000046}\\1.0\\HELPDIR", "stdole32.tlb"},
};

const RegdSeedRow classIdRows[] = {
    {"{44EC053A-400F-11D0-9DCD-00A0C90391D3}", "ATL 2.0 Registrar Class"},
    {"{44EC053A-400F-11D0-9DCD-00A0C90391D3}\\InprocServer32", "atl.dll"},
    {"{44EC053A-400F-11D0-9DCD-00A0C90391D3}\\ProgID", "ATL.Registrar"},
    {"{DF0B3D60-548F-101B-8E65-08002B2BD119}", "PSSupportErrorInfo"},
    {"{DF0B3D60-548F-101B-8E65-08002B2BD119}\\InprocServer32", "oleaut32.dll"},
    {"{22F03340-547D-101B-8E65-08002B2BD119}", "PSCreateErrorInfo"},
    {"{22F03340-547D-101B-8E65-08002B2BD119}\\InprocServer32", "oleaut32.dll"},
    {"{1CF2B120-547D-101B-8E65-08002B2BD119}", "PSErrorInfo"},
    {"{1CF2B120-547D-101B-8E65-08002B2BD119}\\InprocServer32", "oleaut32.dll"},
    {"{00020424-0000-0000-C000-000000000046}", "PSAutomation"},
    {"{00020424-0000-0000-C000-000000000046}\\InprocServer32", "oleaut32.dll"},
    {"{00020425-0000-0000-C000-000000000046}", "PSTypeComp"},
    {"{00020425-0000-0000-C000-000000000046}\\InprocServer32", "oleaut32.dll"},
    {"{00020423-0000-0000-C000-000000000046}", "PSTypeLib"},
    {"{00020423-0000-0000-C000-000000000046}\\InprocServer32", "oleaut32.dll"},
    {"{00020422-0000-0000-C000-000000000046}", "PSTypeInfo"},
    {"{00020422-0000-0000-C000-000000000046}\\InprocServer32", "oleaut32.dll"},
    {"{00020421-0000-0000-C000-000000000046}", "PSEnumVARIANT"},
    {"{00020421-0000-0000-C000-000000000046}\\InprocServer32", "oleaut32.dll"},
    {"{00020420-0000-0000-C000-000000000046}", "PSDispatch"},
    {"{00020420-0000-0000-C000-000000000046}\\InprocServer32", "oleaut32.dll"},
    {"{0BE35202-8F91-11CE-9DE3-00AA004BB851}", "Picture Property Page"},
    {"{0BE35202-8F91-11CE-9DE3-00AA004BB851}\\InprocServer32", "mfcole42.dll"},
    {"{0BE35200-8F91-11CE-9DE3-00AA004BB851}", "Font Property Page"},
    {"{0BE35200-8F91-11CE-9DE3-00AA004BB851}\\InprocServer32", "mfcole42.dll"},
    {"{0BE35201-8F91-11CE-9DE3-00AA004BB851}", "Color Property Page"},
    {"{0BE35201-8F91-11CE-9DE3-00AA004BB851}\\InprocServer32", "mfcole42.dll"},
    {"{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}", "oleprx32_PSFactory"},
    {"{6f11fe5c-2fc5-101b-9e45-00000b65c7ef}\\InprocServer32", "oleprx32.dll"},
    {"{00000316-0000-0000-C000-000000000046}", "Device Independent Bitmap"},
    {"{00000316-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000315-0000-0000-C000-000000000046}", "Metafile"},
    {"{00000315-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{0000030B-0000-0000-C000-000000000046}", "oleprx32_PSFactory"},
    {"{0000030B-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{0000030A-0000-0000-C000-000000000046}", "DdeCompositeMoniker"},
    {"{0000030A-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000309-0000-0000-C000-000000000046}", "CompositeMoniker"},
    {"{00000309-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000308-0000-0000-C000-000000000046}", "PackagerMoniker"},
    {"{00000308-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000306-0000-0000-C000-000000000046}", "PointerMoniker"},
    {"{00000306-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000305-0000-0000-C000-000000000046}", "AntiMoniker"},
    {"{00000305-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000304-0000-0000-C000-000000000046}", "ItemMoniker"},
    {"{00000304-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000303-0000-0000-C000-000000000046}", "FileMoniker"},
    {"{00000303-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000302-0000-0000-C000-000000000046}", "StdMemBytes"},
    {"{00000302-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000301-0000-0000-C000-000000000046}", "StdMemStm"},
    {"{00000301-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{00000300-0000-0000-C000-000000000046}", "StdOleLink"},
    {"{00000300-0000-0000-C000-000000000046}\\InprocServer32", "ole32.dll"},
    {"{B196B286-BAB4-101A-B69C-00AA00341D07}", "PSFactoryBuffer"},
};

const RegdSeedRow rootInterfaceRows[] = {
    {"{0002E000-0000-0000-C000-000000000046}", "IEnumGUID"},
    {"{0002E000-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6D5140C1-7436-11CE-8034-00AA006009FA}"},
    {"{0002E000-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{0002E011-0000-0000-C000-000000000046}", "IEnumCATEGORYINFO"},
    {"{0002E011-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6D5140C1-7436-11CE-8034-00AA006009FA}"},
    {"{0002E011-0000-0000-C000-000000000046}\\NumMethods", "7"},
    {"{0002E012-0000-0000-C000-000000000046}", "ICatRegister"},
    {"{0002E012-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6D5140C1-7436-11CE-8034-00AA006009FA}"},
    {"{0002E012-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{0002E013-0000-0000-C000-000000000046}", "ICatInformation"},
    {"{0002E013-0000-0000-C000-000000000046}\\ProxyStubClsid32", "{6D5140C1-7436-11CE-8034-00AA006009FA}"},
    {"{0002E013-0000-0000-C000-000000000046}\\NumMethods", "9"},
    {"{B196B283-BAB4-101A-B69C-00AA00341D07}", "IProvideClassInfo"},
    {"{B196B283-BAB4-101A-B69C-00AA00341D07}\\ProxyStubClsid32", "{B196B286-BAB4-101A-B69C-00AA00341D07}"},
    {"{B196B283-BAB4-101A-B69C-00AA00341D07}\\NumMethods", "4"},
};

// Seeding names no HKEY_CURRENT_USER key, so it runs as no one in particular.
const RegdCaller seeder{};

constexpr const char* PSFACTORY_CLSID = "{B196B286-BAB4-101A-B69C-00AA00341D07}";

// Opens or creates `path` below `parent`: its handle, 0 when that fails (no
// live key has handle 0: slot 0 always holds a root, whose handle differs).
uint32_t seedKey(uint32_t parent, const char* path) {
    if (parent == 0) return 0;
    uint32_t h = 0;
    std::lock_guard<std::shared_mutex> lock(regdWriteMutex);
    regdInsertKey(seeder, parent, path, 0, nullptr, 0, 0, nullptr, &h, nullptr, 0);
    return h;
}

// A REG_SZ value, stored from the text's characters without a terminator.
void seedText(uint32_t key, const char* valueName, const char* text) {
    if (key == 0 || text[0] == '\0') return;
    regdRegSetValue(seeder, key, valueName, 0, REGD_REG_SZ, reinterpret_cast<const uint8_t*>(text),
                    static_cast<uint32_t>(strlen(text)), 0);
}

void applyTable(const RegdSeedTable& table) {
    uint32_t parent = seedKey(table.parentHandle, table.parentPath);
    if (parent == 0) return;
    for (size_t i = 0; i < table.nRows; i++)
        seedText(seedKey(parent, table.rows[i].path), nullptr, table.rows[i].text);
}

// A class key with its default value (none when null) and an in-process
// server that any thread may use.
void seedClass(uint32_t parent, const char* path, const char* name, const char* server) {
    uint32_t key = seedKey(parent, path);
    if (name != nullptr) seedText(key, nullptr, name);
    uint32_t inproc = seedKey(key, "InprocServer32");
    seedText(inproc, nullptr, server);
    seedText(inproc, "ThreadingModel", "Both");
}

// One decimal number the way "%d" reads it: optional blanks and sign, then
// digits (at least one); saturates instead of overflowing.
bool parseNumber(const char*& p, long& out) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') p++;
    if (*p < '0' || *p > '9') return false;
    long v = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        if (v < 100000000L) v = v * 10 + (*p - '0');
    out = negative ? -v : v;
    return true;
}

// Reads "%d %c %d %c %d": three numbers, each pair separated by one
// character after optional blanks; parts that do not parse stay 0.
void parseVersion(const char* text, long parts[3]) {
    const char* p = text;
    parts[0] = parts[1] = parts[2] = 0;
    for (int i = 0; i < 3; i++) {
        if (i > 0) {
            while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
            if (*p == '\0') return;
            p++;
        }
        if (!parseNumber(p, parts[i])) return;
    }
}

}  // namespace

const RegdSeedTable oleinterfacekey = {REGD_HKEY_LOCAL_MACHINE, "Software\\Classes\\Interface", interfaceRows,
                                       sizeof interfaceRows / sizeof interfaceRows[0]};
const RegdSeedTable oletypelibkey = {REGD_HKEY_LOCAL_MACHINE, "Software\\Classes\\TypeLib", typeLibRows,
                                     sizeof typeLibRows / sizeof typeLibRows[0]};
const RegdSeedTable oleclassidkey = {REGD_HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID", classIdRows,
                                     sizeof classIdRows / sizeof classIdRows[0]};
const RegdSeedTable rootinterfacekey = {REGD_HKEY_CLASSES_ROOT, "Interface", rootInterfaceRows,
                                        sizeof rootInterfaceRows / sizeof rootInterfaceRows[0]};

int regdCheckKalvoKey() {
    uint32_t key = 0;
    if (regdRegOpenKey(seeder, REGD_HKEY_LOCAL_MACHINE, REGD_VERSION_KEY, 0xF003F, 0, &key, 0) !=
        REGD_ERROR_SUCCESS)
        return 0;
    char text[17] = {0};  // 16 for the value, one that stays NUL
    uint32_t size = 16;
    uint32_t type = 0;
    if (regdRegQueryValue(seeder, key, "", 0, &type, reinterpret_cast<uint8_t*>(text), &size) != REGD_ERROR_SUCCESS)
        return 0;
    long v[3];
    parseVersion(text, v);
    return v[0] * 100 + v[1] * 10 + v[2] > 599 ? 1 : 0;
}

uint32_t regdInsertVersionKey() {
    uint32_t kalvo = seedKey(REGD_HKEY_LOCAL_MACHINE, "Software\\Tessmar\\Kalvo");
    uint32_t version = seedKey(kalvo, "Version");
    if (version == 0) return REGD_ERROR_FILE_NOT_FOUND;
    char text[64];
    snprintf(text, sizeof text, "%d.%d.%d\n", REGD_VERSION_MAJOR, REGD_VERSION_MINOR, REGD_VERSION_PATCH);
    return regdRegSetValue(seeder, version, nullptr, 0, REGD_REG_SZ, reinterpret_cast<const uint8_t*>(text),
                           static_cast<uint32_t>(strlen(text)), 0);
}

uint32_t regdInitOleKeys() {
    applyTable(oleinterfacekey);
    applyTable(oletypelibkey);
    applyTable(oleclassidkey);
    seedClass(REGD_HKEY_CLASSES_ROOT, "CLSID\\{0002E005-0000-0000-C000-000000000046}",
              "Component Categories Manager", "comcat.dll");
    applyTable(rootinterfacekey);
    std::string path = std::string("CLSID\\") + PSFACTORY_CLSID;
    seedClass(REGD_HKEY_CLASSES_ROOT, path.c_str(), "PSFactoryBuffer", "oleaut32.dll");
    path = std::string("Software\\Classes\\CLSID\\") + PSFACTORY_CLSID;
    seedClass(REGD_HKEY_LOCAL_MACHINE, path.c_str(), nullptr, "oleaut32.dll");
    return REGD_ERROR_SUCCESS;
}
