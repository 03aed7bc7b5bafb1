// The application's XML classes in one include: documents, sources, element, attribute and
// CDATA nodes, and the exception they throw.
#pragma once

#include "LibraryInterfaces/AttributeNode.h"
#include "LibraryInterfaces/BaseNode.h"
#include "LibraryInterfaces/CDATASection.h"
#include "LibraryInterfaces/ElementNode.h"
#include "LibraryInterfaces/XMLDoc.h"
#include "LibraryInterfaces/XMLException.h"
#include "LibraryInterfaces/XMLSrc.h"
