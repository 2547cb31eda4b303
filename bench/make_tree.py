#!/usr/bin/env python3
"""Generates a realistic tree of invoices for the end-to-end benchmark.

usage: make_tree.py ROOT --files N [--seed S] [--host HOST]

Writes ROOT/DOCUMENT/<year>/<month>/<client>/... with N invoices (names
ending in .xml, a few in .XML) plus about one other file for every twenty
invoices (.txt notes, .pdf-like binaries, .xml.bak copies, hidden files and
folders), and ROOT/manifest.tsv describing every file. The same seed gives
the same tree byte for byte, times included.

Invoice sizes run from about 2.5 KiB (one invoice line) to 200 KiB, most of
them small (log-normal, median about 6.5 KiB, mean 10 KiB); the first invoice
is always close to 200 KiB so that every tree holds one of the largest size. Kinds, by share of the invoices:

  30-ibm850   78%  Facturae 3.0 declared encoding="ibm850", text in code
                   page 858 (accented letters, euro signs 0xD5): both the
                   upgrade and the code page conversion change it
  30-utf8      6%  Facturae 3.0 in UTF-8: upgraded only
  321-ibm850   3%  already 3.2.1 but still in code page 858: converted only
  321-utf8    13%  already 3.2.1 and UTF-8: changed by neither

Some invoices carry a quirk that a plain sed/iconv pipeline handles
differently from the program (see QUIRKS); the manifest names it so that the
comparison can say why their bytes differ.

manifest.tsv, one line per file, tab-separated:
  path (relative to ROOT)  role (invoice/other)  kind  quirk (or -)
  modification time (whole seconds)  SHA-256 of the bytes the program must
  leave (the reference conversion below for invoices, the original bytes for
  every other file)

Python 3 standard library only.
"""

import argparse
import calendar
import hashlib
import math
import os
import random
import re
import sys

KIB = 1024
MIN_SIZE = 2 * KIB
MAX_SIZE = 200 * KIB

NAMESPACE_30 = b'"http://www.facturae.es/Facturae/2007/v3.0/Facturae"'
NAMESPACE_321 = b'"http://www.facturae.es/Facturae/2014/v3.2.1/Facturae"'
OLD_STYLESHEETS = (
    b'<?xml-stylesheet type="text/xsl" href="\\MORVEL\\XSL\\FACTURA.XSL"?>',
    b'<?xml-stylesheet type="text/xsl" href="/MORVEL/XSL/FACTURA.XSL"?>',
    b'<?xml-stylesheet type="text/xsl" href="/morvel/XSL/FACTURA.XSL"?>',
)
MARKER = b'encoding="ibm850"'
MARKER_REPLACEMENT = b'encoding="UTF-8"'

# Quirks: what a sed/iconv pipeline does differently, and why the program's
# result is the right one. Keys appear in the manifest.
QUIRKS = {
    "restart": (
        "two <LanguageName>CAT< occurrences share their '<' (a damaged invoice "
        "whose first LanguageName lacks its end tag). sed's s///g goes on behind "
        "each replacement and so misses the second; the program searches again "
        "from the start after every replacement and replaces both"),
    "second-marker": (
        'the document holds encoding="ibm850" twice (the declaration and a '
        "comment on a later line). The pipeline's line-wise sed rewrites the "
        "first on every line; the program rewrites only the first in the "
        "document and leaves the later one as it is"),
    "lower-case-tags": (
        "the end tags of BuyerParty/Invoices/Parties are written in lower case; "
        "both match them (sed with the I flag), so the bytes must agree"),
    "no-blanks": (
        "</BuyerParty><Invoices> with nothing between them; the run of spaces, "
        "CRs and LFs may be empty for both, so the bytes must agree"),
}


def reference_pairs(host):
    """The eleven literal rewrites, in the order the program applies them."""
    web = b'<?xml-stylesheet type="text/xsl" href="http://' + host + b'/XSL/FACTURA.XSL"?>'
    return [
        (NAMESPACE_30, NAMESPACE_321),
        (b"<SchemaVersion>3.0</SchemaVersion>", b"<SchemaVersion>3.2.1</SchemaVersion>"),
        (b"<Telefax>", b"<TeleFax>"),
        (b"</Telefax>", b"</TeleFax>"),
        (b"<LanguageName>CAT<", b"<LanguageName>ca<"),
        (b"<LanguageName>GLG<", b"<LanguageName>gl<"),
        (b"<LanguageName>OCI<", b"<LanguageName>ca<"),
        (b"<LanguageName>SPA<", b"<LanguageName>es<"),
    ] + [(old, web) for old in OLD_STYLESHEETS]


BUYER_THEN_INVOICES = re.compile(rb"</BuyerParty>[ \r\n]*<Invoices>", re.IGNORECASE)
INVOICES_THEN_PARTIES = re.compile(rb"</Invoices>[ \r\n]*</Parties>", re.IGNORECASE)


def reference_convert(text, pairs):
    """What the program must make of one invoice, written as plainly as
    possible and independently of the program: every occurrence of each pair
    (searching again from the start after each replacement), the first match
    of each structural rewrite, then the first ibm850 marker and code page
    858 to UTF-8."""
    for search, replacement in pairs:
        at = text.find(search)
        while at >= 0:
            text = text[:at] + replacement + text[at + len(search):]
            at = text.find(search)
    match = BUYER_THEN_INVOICES.search(text)
    if match:
        text = (text[:match.start()] + b"</BuyerParty>\r\n</Parties>\r\n<Invoices>" +
                text[match.end():])
    match = INVOICES_THEN_PARTIES.search(text)
    if match:
        text = text[:match.start()] + b"</Invoices>" + text[match.end():]
    at = text.find(MARKER)
    if at >= 0:
        text = text[:at] + MARKER_REPLACEMENT + text[at + len(MARKER):]
        text = text.decode("cp858").encode("utf-8")
    return text


# Words that real invoices from Catalonia, Galicia and the rest of Spain
# carry; every character exists in code page 858.
ITEMS = [
    "Reparació de la caldera", "Instal·lació elèctrica", "Manteniment trimestral",
    "Suministro de piñones", "Revisión anual del ascensor", "Transport a Lleida",
    "Material d'oficina", "Lámparas LED de 9 W", "Servizo de limpeza", "Àrea de càrrega",
    "Cargador de baterías", "Camió grua, hora", "Pintura plàstica blanca", "Señalización vial",
    "Formació en prevenció", "Consultoría técnica", "Desplaçament del tècnic", "Caixa de ferreteria",
    "Tubería de polietileno", "Assessorament fiscal", "Lloguer de maquinària", "Café i pastes",
    "Conexión a internet", "Revisió d'extintors", "Substitució del vidre", "Mà d'obra (hores)",
]
COMPANIES = [
    "Ferreteria Puigcerdà SL", "Construccions Ribes i Fills SA", "Concello de Lugo",
    "Ajuntament de Girona", "Electricidad Peñalara SL", "Fusteria Cal Ràfols",
    "Transports Montserrat SCCL", "Distribuciones Ibáñez SA", "Gestoria Vallès SLP",
    "Climatització Empordà SL", "Talleres Muñoz e Hijos", "Serveis Informàtics Núria SL",
]
TOWNS = [("Girona", "17001"), ("Lleida", "25002"), ("Lugo", "27001"), ("Reus", "43201"),
         ("València", "46001"), ("Castelló", "12001"), ("Ourense", "32003"), ("Vic", "08500")]
LANGUAGES = ["CAT", "CAT", "CAT", "SPA", "SPA", "GLG", "OCI"]
LANGUAGES_321 = {"CAT": "ca", "SPA": "es", "GLG": "gl", "OCI": "ca"}


def money(cents):
    return "%d.%02d" % divmod(cents, 100)


def euros(cents):
    whole, rest = divmod(cents, 100)
    return "%d,%02d €" % (whole, rest)


class Writer:
    def __init__(self, seed, host):
        self.rng = random.Random(seed)
        self.host = host
        self.pairs = reference_pairs(host.encode("ascii"))
        # A pool of invoice lines, each a few hundred bytes, drawn once per
        # tree; documents pick from it, which keeps generation fast.
        self.lines = [self.invoice_line(i) for i in range(4000)]
        self.mean_line = sum(len(line) for line in self.lines) / len(self.lines)

    def invoice_line(self, index):
        rng = self.rng
        item = rng.choice(ITEMS)
        quantity = rng.randint(1, 40)
        unit = rng.randint(150, 250000)
        total = quantity * unit
        return (
            "        <InvoiceLine>\r\n"
            "          <IssuerContractReference>C-%05d</IssuerContractReference>\r\n"
            "          <ItemDescription>%s</ItemDescription>\r\n"
            "          <Quantity>%d.0</Quantity>\r\n"
            "          <UnitOfMeasure>01</UnitOfMeasure>\r\n"
            "          <UnitPriceWithoutTax>%s</UnitPriceWithoutTax>\r\n"
            "          <TotalCost>%s</TotalCost>\r\n"
            "          <GrossAmount>%s</GrossAmount>\r\n"
            "          <TaxesOutputs><Tax><TaxTypeCode>01</TaxTypeCode><TaxRate>21.00</TaxRate>"
            "<TaxableBase><TotalAmount>%s</TotalAmount></TaxableBase></Tax></TaxesOutputs>\r\n"
            "          <AdditionalLineItemInformation>Preu unitari %s; línia %d, "
            "lliurament núm. %d</AdditionalLineItemInformation>\r\n"
            "        </InvoiceLine>\r\n"
        ) % (index, item, quantity, money(unit), money(total), money(total), money(total),
             euros(unit), index % 97 + 1, rng.randint(1, 99999))

    def party(self, role, company, town, with_fax, fax_tag, short):
        name, post_code = town
        fax = ""
        if with_fax:
            fax = "<%s>972 %06d</%s>" % (fax_tag, self.rng.randint(0, 999999), fax_tag)
        if short:
            return (
                "    <%s>\r\n"
                "      <TaxIdentification><PersonTypeCode>J</PersonTypeCode>"
                "<ResidenceTypeCode>R</ResidenceTypeCode><TaxIdentificationNumber>B%08d"
                "</TaxIdentificationNumber></TaxIdentification>\r\n"
                "      <LegalEntity><CorporateName>%s</CorporateName>"
                "<ContactDetails>%s</ContactDetails></LegalEntity>\r\n"
                "    </%s>\r\n"
            ) % (role, self.rng.randint(0, 99999999), company, fax, role)
        return (
            "    <%s>\r\n"
            "      <TaxIdentification><PersonTypeCode>J</PersonTypeCode>"
            "<ResidenceTypeCode>R</ResidenceTypeCode><TaxIdentificationNumber>B%08d"
            "</TaxIdentificationNumber></TaxIdentification>\r\n"
            "      <LegalEntity>\r\n"
            "        <CorporateName>%s</CorporateName>\r\n"
            "        <AddressInSpain><Address>Carrer Major, %d</Address><PostCode>%s</PostCode>"
            "<Town>%s</Town><Province>%s</Province><CountryCode>ESP</CountryCode>"
            "</AddressInSpain>\r\n"
            "        <ContactDetails><Telephone>972 %06d</Telephone>%s"
            "<ElectronicMail>factures@example.com</ElectronicMail></ContactDetails>\r\n"
            "      </LegalEntity>\r\n"
            "    </%s>\r\n"
        ) % (role, self.rng.randint(0, 99999999), company, self.rng.randint(1, 200), post_code,
             name, name, self.rng.randint(0, 999999), fax, role)

    def document(self, kind, quirk, size, number, issue_date):
        """The text of one invoice of roughly `size` bytes, as stored."""
        rng = self.rng
        old = kind.startswith("30")
        encoding = "ibm850" if kind.endswith("ibm850") else "UTF-8"
        if old:
            stylesheet = rng.choice(OLD_STYLESHEETS).decode("ascii")
            namespace = NAMESPACE_30.decode("ascii")
            version = "3.0"
            fax_tag = "Telefax"
        else:
            stylesheet = ('<?xml-stylesheet type="text/xsl" href="http://%s/XSL/FACTURA.XSL"?>'
                          % self.host)
            namespace = NAMESPACE_321.decode("ascii")
            version = "3.2.1"
            fax_tag = "TeleFax"
        seller = rng.choice(COMPANIES)
        buyer = rng.choice(COMPANIES)
        head = [
            '<?xml version="1.0" encoding="%s"?>\r\n' % encoding,
            stylesheet + "\r\n",
            '<fe:Facturae xmlns:fe=%s xmlns:ds="http://www.w3.org/2000/09/xmldsig#">\r\n'
            % namespace,
        ]
        if quirk == "second-marker":
            head.append('<!-- Exportat des del programa antic, amb encoding="ibm850" -->\r\n')
        head += [
            "  <FileHeader>\r\n",
            "    <SchemaVersion>%s</SchemaVersion>\r\n" % version,
            "    <Modality>I</Modality>\r\n",
            "    <InvoiceIssuerType>EM</InvoiceIssuerType>\r\n",
            "    <Batch>\r\n",
            "      <BatchIdentifier>B%08dF%s</BatchIdentifier>\r\n" % (number, issue_date[:4]),
            "      <InvoicesCount>1</InvoicesCount>\r\n",
            "      <TotalInvoicesAmount><TotalAmount>0.00</TotalAmount></TotalInvoicesAmount>\r\n",
            "      <InvoiceCurrencyCode>EUR</InvoiceCurrencyCode>\r\n",
            "    </Batch>\r\n",
            "  </FileHeader>\r\n",
            "  <Parties>\r\n",
            self.party("SellerParty", seller, rng.choice(TOWNS), rng.random() < 0.7, fax_tag,
                       size < 3 * KIB),
            self.party("BuyerParty", buyer, rng.choice(TOWNS), rng.random() < 0.5, fax_tag,
                       size < 3 * KIB),
        ]
        # How the exporters laid out the tags around Invoices.
        blanks = rng.choice(["\r\n  ", "\r\n  ", "\r\n  ", "\r\n", "\r\n\r\n    ", "  \r\n  "])
        if quirk == "no-blanks":
            blanks = ""
        buyer_end, invoices, invoices_end, parties_end = (
            "</BuyerParty>", "<Invoices>", "</Invoices>", "</Parties>")
        if quirk == "lower-case-tags":
            buyer_end, invoices, invoices_end, parties_end = (
                "</buyerparty>", "<invoices>", "</invoices>", "</parties>")
        head[-1] = head[-1][:-len("</BuyerParty>\r\n")]
        if old:
            head.append(buyer_end + blanks + invoices + "\r\n")
        else:
            head.append("</BuyerParty>\r\n  </Parties>\r\n  <Invoices>\r\n")

        # Large documents are batches of several invoices, each with its own
        # language, so that every occurrence of a rewrite is exercised.
        base = sum(len(part) for part in head) + 600
        line_count = max(1, round((size - base) / self.mean_line))
        invoice_count = 1 + line_count // 60
        body = []
        for invoice in range(invoice_count):
            language = rng.choice(LANGUAGES)
            if not old:
                language = LANGUAGES_321[language]
            language_element = "<LanguageName>%s</LanguageName>" % language
            if quirk == "restart" and invoice == 0:
                language_element = "<LanguageName>CAT<LanguageName>CAT</LanguageName>"
            body.append(
                "    <Invoice>\r\n"
                "      <InvoiceHeader><InvoiceNumber>F%s-%05d-%d</InvoiceNumber>"
                "<InvoiceDocumentType>FC</InvoiceDocumentType><InvoiceClass>OO</InvoiceClass>"
                "</InvoiceHeader>\r\n"
                "      <InvoiceIssueData><IssueDate>%s</IssueDate>"
                "<InvoiceCurrencyCode>EUR</InvoiceCurrencyCode>"
                "<TaxCurrencyCode>EUR</TaxCurrencyCode>%s</InvoiceIssueData>\r\n"
                "      <Items>\r\n" % (issue_date[:4], number, invoice, issue_date,
                                       language_element))
            lines = line_count // invoice_count + (invoice < line_count % invoice_count)
            for _ in range(lines):
                body.append(self.lines[rng.randrange(len(self.lines))])
            body.append(
                "      </Items>\r\n"
                "      <LegalLiterals><LegalReference>Inscrita al Registre Mercantil; "
                "import total en € segons la llei 25/2013</LegalReference></LegalLiterals>\r\n"
                "    </Invoice>\r\n")
        if old:
            tail = "  " + invoices_end + rng.choice(["\r\n  ", "\r\n", " "]) + parties_end
        else:
            tail = "  </Invoices>"
        tail += "\r\n</fe:Facturae>" + rng.choice(["\r\n", "\r\n", ""])
        text = "".join(head) + "".join(body) + tail
        return text.encode("cp858" if encoding == "ibm850" else "utf-8")


def draw_size(rng):
    """A size from 2 KiB to 200 KiB, skewed to small like real invoices."""
    while True:
        size = int(rng.lognormvariate(math.log(6 * KIB), 0.9))
        if MIN_SIZE <= size <= MAX_SIZE:
            return size


def draw_kind(rng):
    r = rng.random()
    if r < 0.78:
        return "30-ibm850"
    if r < 0.84:
        return "30-utf8"
    if r < 0.87:
        return "321-ibm850"
    return "321-utf8"


def other_file(rng, name, kind):
    """Bytes of a file that is no invoice (kind "pdf" or "txt"); both hold
    the very texts the conversions look for, so that touching them would
    show."""
    if kind == "pdf":
        body = rng.randbytes(rng.randint(1, 16) * KIB)
        return b"%PDF-1.4\n% " + MARKER + b" " + NAMESPACE_30 + b"\n" + body + b"\n%%EOF\n"
    return ("Notes de la factura %s: cal revisar l'import de 12,50 €.\r\n"
            '<?xml version="1.0" encoding="ibm850"?>\r\n' % name).encode("cp858")


def generate(root, files, seed, host):
    rng = random.Random(seed)
    writer = Writer(seed + 1, host)
    document_root = os.path.join(root, "DOCUMENT")
    os.makedirs(document_root, exist_ok=True)
    years = list(range(2009, 2015))
    clients = ["C%04d" % i for i in range(max(20, files // 300))]
    manifest = []
    sequence = {year: 0 for year in years}
    made_folders = set()

    def folder_for(year, month, client):
        folder = os.path.join("DOCUMENT", str(year), "%02d" % month, client)
        if folder not in made_folders:
            os.makedirs(os.path.join(root, folder), exist_ok=True)
            made_folders.add(folder)
        return folder

    def put(relative, data, mtime, role, kind, quirk, expected):
        path = os.path.join(root, relative)
        with open(path, "wb") as out:
            out.write(data)
        os.utime(path, (mtime, mtime))
        manifest.append((relative, role, kind, quirk, mtime, hashlib.sha256(expected).hexdigest()))

    for index in range(files):
        year = rng.choice(years)
        month = rng.randint(1, 12)
        day = rng.randint(1, 28)
        client = rng.choice(clients)
        sequence[year] += 1
        number = sequence[year]
        # Whole seconds: the program keeps times to the second.
        mtime = int(_epoch(year, month, day)) + rng.randint(8 * 3600, 19 * 3600)
        kind = draw_kind(rng)
        size = MAX_SIZE - 4 * KIB if index == 0 else draw_size(rng)
        quirk = "-"
        if kind.startswith("30"):
            if index % 997 == 500:
                quirk = "restart"
            elif index % 499 == 250 and kind == "30-ibm850":
                quirk = "second-marker"
            elif index % 101 == 50:
                quirk = "lower-case-tags"
            elif index % 211 == 100:
                quirk = "no-blanks"
        text = writer.document(kind, quirk, size,
                               number, "%04d-%02d-%02d" % (year, month, day))
        folder = folder_for(year, month, client)
        extension = ".XML" if rng.random() < 0.03 else ".xml"
        name = "F%d-%05d%s" % (year, number, extension)
        put(os.path.join(folder, name), text, mtime, "invoice", kind, quirk,
            reference_convert(text, writer.pairs))

        # About one file in twenty that the run must leave alone.
        if rng.random() < 0.05:
            other = rng.choice(["pdf", "txt", "bak", "hidden-file", "hidden-folder"])
            base = "F%d-%05d" % (year, number)
            if other in ("pdf", "txt"):
                data = other_file(rng, base, other)
                relative = os.path.join(folder, base + "." + other)
            elif other == "bak":
                data, relative = text, os.path.join(folder, name + ".bak")
            elif other == "hidden-file":
                data, relative = text, os.path.join(folder, "." + name)
            else:
                hidden = os.path.join(folder, ".esborrades")
                os.makedirs(os.path.join(root, hidden), exist_ok=True)
                data, relative = text, os.path.join(hidden, name)
            put(relative, data, mtime, "other", other, "-", data)

    with open(os.path.join(root, "manifest.tsv"), "w", encoding="utf-8") as out:
        for row in manifest:
            out.write("\t".join(str(field) for field in row) + "\n")
    return manifest


def _epoch(year, month, day):
    return calendar.timegm((year, month, day, 0, 0, 0, 0, 0, 0))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", help="folder to create DOCUMENT and manifest.tsv in")
    parser.add_argument("--files", type=int, default=20000, help="number of invoices")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generator")
    parser.add_argument("--host", default="xsl.bench.test",
                        help="host of the web stylesheet (INVOICE_STYLESHEET_HOST of the build)")
    args = parser.parse_args()
    if os.path.exists(os.path.join(args.root, "DOCUMENT")):
        sys.exit("make_tree.py: %s/DOCUMENT exists already" % args.root)
    manifest = generate(args.root, args.files, args.seed, args.host)
    invoices = [row for row in manifest if row[1] == "invoice"]
    total = sum(os.path.getsize(os.path.join(args.root, row[0])) for row in invoices)
    largest = max(os.path.getsize(os.path.join(args.root, row[0])) for row in invoices)
    print("%d invoices (%.1f MiB, largest %d bytes) and %d other files in %s/DOCUMENT" %
          (len(invoices), total / 2**20, largest, len(manifest) - len(invoices), args.root))


if __name__ == "__main__":
    main()
