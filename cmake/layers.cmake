# The layers, lowest first. A file under src/<layer>/ or tools/ may include headers of its own
# layer and of the layers below it, never of a layer above. Folders that do not exist yet keep
# their place in the order.
set(VELDORAN_LAYERS platform ports serial discovery ui link records site app tools)
