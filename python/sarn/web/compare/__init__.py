"""Comparing recorded runs (``sarn diff``) and searching them (``sarn find``).

* :mod:`.normal`: recorded values with what differs from run to run by
  nature (addresses, ids, ignored fields) taken out, as a digest and a short text;
* :mod:`.calls`: each thread of a trace as a compact call tree, read record by record;
* :mod:`.align`: two call trees aligned sibling list by sibling list, and their differences;
* :mod:`.detail`: where inside two values that read alike they differ (a second, narrow read);
* :mod:`.report`: the aligned trees as text (a tree of the paths to the differences) or JSON;
* :mod:`.page`: the same as rows of the side-by-side page of ``sarn view``;
* :mod:`.command`: ``sarn diff``, from trace ids (or a test's node id) to exit code;
* :mod:`.where`: the small condition language of ``sarn find --where``;
* :mod:`.search`: ``sarn find``.
"""
