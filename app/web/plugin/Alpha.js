// The view's alpha value as the page's own opacity: an adopted style sheet exists from the
// document's creation, so a page shown at alpha 0 is never painted visibly first.
(function () {
    var css = ":root { opacity: %OPACITY% !important; transition: opacity %DURATION%s ease-in-out !important; }";
    try {
        // Per document: a window can outlive its first document, and a constructed sheet
        // belongs to the document it was made for.
        var sheet = document.__parclyAlphaSheet;
        if (!sheet) {
            sheet = new CSSStyleSheet();
            Object.defineProperty(document, "__parclyAlphaSheet", { value: sheet });
        }
        sheet.replaceSync(css);
        if (document.adoptedStyleSheets.indexOf(sheet) < 0)
            document.adoptedStyleSheets = document.adoptedStyleSheets.concat([sheet]);
    } catch (e) {
        console.error("Alpha: " + e);
    }
})();
